// The excursion path of one trade and its sampled record, in plain C++.
//
// The position is followed from its entry date as a ratio to the entry value
// (1.0 = break-even); six running measures are derived from that path and
// written, for sampled days and for the exit day, into a flat record. Prices
// come in as strided float64 matrices; every read is bounds-checked and every
// failure is returned as a code for the binding to turn into the matching
// Python exception, so nothing here touches the interpreter.
//
// The arithmetic is written in the exact order results are expected in
// (they are compared bit for bit), and the comparisons are spelled so that a
// NaN ratio falls into the documented branch.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

namespace quorex::excursion {

// A read-only float64 matrix (rows = dates, columns = price columns).
// `present` is false for a matrix that was given as None.
struct MatrixView {
  const char* data = nullptr;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::int64_t row_stride = 0;  // bytes
  std::int64_t col_stride = 0;  // bytes
  bool present = false;
};

// The float64 record array being filled.
struct RecordView {
  char* data = nullptr;
  std::int64_t size = 0;
  std::int64_t stride = 0;  // bytes
};

enum class Status {
  ok,
  not_subscriptable,     // a matrix is None
  index_out_of_bounds,   // `index` outside an axis of length `bound`
  float_division,        // a zero trade price or close used as divisor
  integer_division,      // sampling step 0
  division_overflow,     // step -1 with the smallest 32-bit window - 1
  record_out_of_bounds,  // a block does not fit the record
  exit_before_entry,     // exit date `index` precedes entry date `bound`
};

struct Error {
  Status status = Status::ok;
  std::int64_t index = 0;
  std::int64_t bound = 0;
  explicit operator bool() const noexcept { return status != Status::ok; }
};

struct Settings {
  double fee_ratio = 0.0;
  double tax_ratio = 0.0;
  int tradearc_window = 0;
  int tradearc_window_step = 0;
  int current_date = 0;  // the exit date, or the last simulated date
};

struct Trade {
  int column = 0;  // price column (already taken from the column map)
  int entry_index = 0;
  bool is_long = true;
  bool charge_entry = false;
  bool charge_exit = false;
};

// The price column of position column `column`. An unmapped column reads
// price column 0, and remembers that mapping.
inline int column_for(std::map<int, int>& column_map, int column) {
  return column_map.try_emplace(column, 0).first->second;
}

// matrix[row][col] with negative indices counted from the end, as chained
// NumPy indexing does (so both axes report as axis 0 of what they index).
inline Error read(const MatrixView& m, std::int64_t row, std::int64_t col, double& out) noexcept {
  if (!m.present) return {Status::not_subscriptable};
  const std::int64_t r = row < 0 ? row + m.rows : row;
  if (r < 0 || r >= m.rows) return {Status::index_out_of_bounds, row, m.rows};
  const std::int64_t c = col < 0 ? col + m.cols : col;
  if (c < 0 || c >= m.cols) return {Status::index_out_of_bounds, col, m.cols};
  std::memcpy(&out, m.data + r * m.row_stride + c * m.col_stride, sizeof out);
  return {};
}

// The six measures of one day, in record order.
inline constexpr int kMeasures = 6;

// Per-day running series; element t belongs to the t-th date after entry.
struct Path {
  std::vector<double> ratio;
  std::vector<double> peak;    // running maximum of ratio, never below 1
  std::vector<double> trough;  // running minimum of ratio, never above 1
  std::vector<std::int64_t> trough_day;  // element before the trough was last lowered
  std::vector<double> drawdown;          // running minimum of ratio / peak - 1
  std::vector<double> profit_days;

  std::size_t size() const noexcept { return ratio.size(); }

  void reserve(std::size_t n) {
    ratio.reserve(n);
    peak.reserve(n);
    trough.reserve(n);
    trough_day.reserve(n);
    drawdown.reserve(n);
    profit_days.reserve(n);
  }

  // mae, gmfe, prior_mfe, max_drawdown, profit_days, return.
  void measures(std::size_t t, double out[kMeasures]) const noexcept {
    out[0] = trough[t] - 1;
    out[1] = peak[t] - 1;
    out[2] = peak[static_cast<std::size_t>(trough_day[t])] - 1;
    out[3] = drawdown[t];
    out[4] = profit_days[t];
    out[5] = ratio[t] - 1;
  }
};

// Follows the trade from its entry date to `end` (at least `window` dates
// after the entry, clipped to the data), then applies the exit costs to the
// last tracked element when the exit charges them.
inline Error track(const MatrixView& price, const MatrixView& close, const Trade& trade,
                   const Settings& settings, Path& path) {
  const std::int64_t entry = trade.entry_index;
  const std::int64_t col = trade.column;
  std::int64_t end = settings.current_date;
  if (entry + settings.tradearc_window > end) end = entry + settings.tradearc_window;
  if (!price.present) return {Status::not_subscriptable};
  if (end >= price.rows) end = price.rows - 1;

  double p0 = 0.0;
  double c0 = 0.0;
  if (Error e = read(price, entry, col, p0)) return e;
  if (Error e = read(close, entry, col, c0)) return e;
  if (p0 == 0) return {Status::float_division};
  path.reserve(static_cast<std::size_t>(std::max<std::int64_t>(end - entry + 1, 1)));

  // Entered at the trade price, valued at the close of the entry date.
  double r = trade.is_long ? c0 / p0 : 2 - c0 / p0;
  if (trade.charge_entry) r = (1 - settings.fee_ratio) * r;
  path.ratio.push_back(r);
  path.peak.push_back(1.0 > r ? 1.0 : r);
  path.trough.push_back(r > 1.0 ? 1.0 : r);
  path.trough_day.push_back(0);
  path.drawdown.push_back(0 > r - 1 ? r - 1 : 0.0);
  path.profit_days.push_back(r > 1.0 ? 1.0 : 0.0);

  double prev_close = c0;
  for (std::int64_t d = entry + 1; d <= end; ++d) {
    const auto i = static_cast<std::size_t>(d - entry - 1);
    double x = 0.0;
    if (Error e = read(close, d, col, x)) return e;
    const bool valid = !std::isnan(x);
    if (valid) {
      if (prev_close == 0) return {Status::float_division};
      const double q = x / prev_close;
      prev_close = x;
      // A short position mirrors the long path around 2, compounded daily.
      if (!std::isnan(q)) r = trade.is_long ? r * q : 2 - (2 - r) * q;
    }
    double pk = path.peak[i];
    if (r > pk) pk = r;
    path.peak.push_back(pk);
    if (path.trough[i] > r) {
      path.trough.push_back(r);
      path.trough_day.push_back(static_cast<std::int64_t>(i));
    } else {
      path.trough.push_back(path.trough[i]);
      path.trough_day.push_back(path.trough_day[i]);
    }
    if (pk == 0) return {Status::float_division};
    const double dd = r / pk - 1;
    path.drawdown.push_back(path.drawdown[i] > dd ? dd : path.drawdown[i]);
    path.profit_days.push_back(valid && r > 1.0 ? path.profit_days[i] + 1 : path.profit_days[i]);
    path.ratio.push_back(r);
  }

  if (trade.charge_exit) {
    double& last = path.ratio.back();
    if (entry != end) {
      // Sold at the trade price of the last tracked date, not at its close.
      double p = 0.0;
      double cc = 0.0;
      if (Error e = read(price, end, col, p)) return e;
      if (Error e = read(close, end, col, cc)) return e;
      if (cc == 0) return {Status::float_division};
      last = trade.is_long ? p / cc * last : 2 - (2 - last) * p / cc;
    }
    last = (1 - settings.fee_ratio - settings.tax_ratio) * last;
  }
  return {};
}

// Number of values in the record: one block per sampled day of the window
// plus the exit block, 6 * ((window - 1) // step + 2) with floor division.
// Computed in 64 bits so that extreme windows cannot wrap into a plausible
// length.
inline Error record_length(int window, int step, std::int64_t& n) noexcept {
  if (step == 0) return {Status::integer_division};
  const std::int64_t numerator = std::int64_t{window} - 1;
  if (step == -1 && numerator == std::numeric_limits<std::int32_t>::min()) {
    return {Status::division_overflow};
  }
  std::int64_t quotient = numerator / step;
  if (numerator % step != 0 && ((numerator < 0) != (step < 0))) --quotient;
  n = kMeasures * (quotient + 2);
  return {};
}

// Writes the sampled blocks (days 0, step, 2 * step, ... below the window)
// and the exit block into `out`, whose unwritten samples the caller has
// filled with -1. `n` is the length from record_length.
inline Error write_record(const Path& path, const Settings& settings, int entry_index, std::int64_t n,
                          const RecordView& out) noexcept {
  double values[kMeasures];
  auto put = [&](std::int64_t pos) -> Error {
    for (int j = 0; j < kMeasures; ++j) {
      const std::int64_t at = pos + j;
      if (at < 0 || at >= out.size) return {Status::record_out_of_bounds};
      std::memcpy(out.data + at * out.stride, &values[j], sizeof(double));
    }
    return {};
  };

  const auto length = static_cast<std::int64_t>(path.size());
  // A negative window counts as unbounded, so the whole path is sampled.
  const int window = settings.tradearc_window;
  const int step = settings.tradearc_window_step;
  const std::int64_t m = window < 0 ? length : std::min<std::int64_t>(window, length);
  std::int64_t pos = 0;
  if (step > 0) {  // a negative step samples nothing: m is never negative
    for (std::int64_t t = 0; t < m; t += step) {
      path.measures(static_cast<std::size_t>(t), values);
      if (Error e = put(pos)) return e;
      pos += kMeasures;
    }
  }

  const std::int64_t k = std::min<std::int64_t>(length - 1, std::int64_t{settings.current_date} - entry_index);
  if (k < 0) return {Status::exit_before_entry, settings.current_date, entry_index};
  path.measures(static_cast<std::size_t>(k), values);
  return put(n - kMeasures);
}

}  // namespace quorex::excursion
