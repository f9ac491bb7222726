// Large one-day moves of a price matrix: the scan behind the check for
// closes that were not adjusted for splits, run on every backtest's closes.
// A move is a price against the last price of its column before it, so a
// move across missing prices (NaN) is measured from the last price before
// the gap: a split during a halt is still one move.
//
// One pass in memory order, whatever the layout: a column at a time for a
// column-major matrix, a row at a time (with each column's last price kept)
// for a row-major one. Large moves are rare and ordinary days need no
// division, so the pass costs about one read of the matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernel/views.hpp"

namespace quorex::kernel {

// Calls visit(r, c, price, state) for every price in memory order, with the
// state of its column; `state` ends with each column's. A column-major
// matrix is read a column at a time with the state in registers.
template <class State, class Visit>
void scan_columns(const Matrix<double>& prices, State initial, std::vector<State>& state, Visit&& visit) {
  const char* const data = prices.data;
  const std::ptrdiff_t rows = prices.rows, cols = prices.cols;
  const std::ptrdiff_t row_stride = prices.row_stride, col_stride = prices.col_stride;
  const auto magnitude = [](std::ptrdiff_t stride) { return stride < 0 ? -stride : stride; };
  state.assign(static_cast<std::size_t>(cols), initial);
  if (magnitude(row_stride) <= magnitude(col_stride)) {
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
      const char* const column = data + c * col_stride;
      State current = initial;
      for (std::ptrdiff_t r = 0; r < rows; ++r) visit(r, c, load<double>(column + r * row_stride), current);
      state[static_cast<std::size_t>(c)] = current;
    }
    return;
  }
  for (std::ptrdiff_t r = 0; r < rows; ++r) {
    const char* const row = data + r * row_stride;
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
      visit(r, c, load<double>(row + c * col_stride), state[static_cast<std::size_t>(c)]);
    }
  }
}

// Prices whose bounds below are computed without underflow or overflow.
inline constexpr double kSmallestNormal = std::numeric_limits<double>::min();
inline constexpr double kLargestScaled = 1e300;

struct PriceMoves {
  std::vector<std::int64_t> rows;      // the row of the price that moved
  std::vector<std::int64_t> cols;
  std::vector<std::int64_t> previous;  // the row of the price it moved from
};

// Appends every price that is at least `min_jump` times the one before it,
// or at most its inverse: the comparisons `ratio >= min_jump` and
// `ratio <= 1 / min_jump` of the quotient, so an infinite or zero price
// counts as a move like any other extreme quotient.
inline void find_large_moves(const Matrix<double>& prices, double min_jump, PriceMoves& out) {
  struct Last {
    std::int64_t row = -1;
    double price = 0.0;
  };
  const double lowest = 1.0 / min_jump;
  // Ordinary days need no division: within these bounds of a price of normal
  // size the quotient is certainly inside (min_jump's inverse, min_jump),
  // rounding included (a subnormal or huge price could round the bounds
  // themselves). Anything else takes the exact quotient.
  const double surely_below = min_jump * 0.999;
  const double surely_above = lowest * 1.001;
  std::vector<Last> last;
  scan_columns(prices, Last{}, last, [&](std::ptrdiff_t r, std::ptrdiff_t c, double price, Last& before) {
    if (price != price) return;  // missing: the gap is bridged from the last price
    const bool ordinary = before.price >= kSmallestNormal && before.price <= kLargestScaled &&
                          price <= surely_below * before.price && price >= surely_above * before.price;
    if (!ordinary && before.row >= 0) {
      const double ratio = price / before.price;
      if (ratio >= min_jump || ratio <= lowest) {
        out.rows.push_back(r);
        out.cols.push_back(c);
        out.previous.push_back(before.row);
      }
    }
    before = {r, price};
  });
}

}  // namespace quorex::kernel
