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
#include <new>
#include <vector>

namespace quorex::kernel::excursion {

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
  negative_length,       // the window and step give a record of negative length
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

// Position column -> price column. An unmapped column reads price column 0,
// and remembers that mapping. Every trade looks its column up, so the
// columns of the run (0 .. n_columns - 1) are kept in a flat table as well;
// the map answers for any other column.
class ColumnMap {
 public:
  void assign(std::map<int, int> map, int n_columns) noexcept {
    map_ = std::move(map);
    table_.clear();
    if (n_columns <= 0 || n_columns > kMaxTable) return;
    try {
      table_.assign(static_cast<std::size_t>(n_columns), 0);
    } catch (const std::bad_alloc&) {
      return;  // the map alone still answers
    }
    for (auto it = map_.lower_bound(0); it != map_.end() && it->first < n_columns; ++it) {
      table_[static_cast<std::size_t>(it->first)] = it->second;
    }
  }

  int operator()(int column) {
    if (column >= 0 && static_cast<std::size_t>(column) < table_.size()) {
      return table_[static_cast<std::size_t>(column)];
    }
    return map_.try_emplace(column, 0).first->second;
  }

 private:
  static constexpr int kMaxTable = 1 << 22;  // beyond this the map alone serves
  std::map<int, int> map_;
  std::vector<int> table_;
};

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

// What the record is made of: the measures of the sampled days and of the
// exit day. The running series are followed day by day but only these days
// are kept, so a trade costs no memory beyond its record.
struct Summary {
  std::vector<double> samples;  // kMeasures per sampled day (0, step, 2 * step, ... below the window)
  double exit[kMeasures] = {};
  std::int64_t exit_day = 0;  // negative when the exit date precedes the entry
  int exit_date = 0;
  int entry_date = 0;

  std::size_t sample_blocks() const noexcept { return samples.size() / kMeasures; }
};

// The running state of the path on one day.
struct Day {
  double ratio = 0.0;     // value of the position relative to its entry value
  double peak = 0.0;      // running maximum of ratio, never below 1
  double trough = 0.0;    // running minimum of ratio, never above 1
  double prior = 0.0;     // peak on the day before the trough was last lowered
  double drawdown = 0.0;  // running minimum of ratio / peak - 1
  double profit_days = 0.0;

  // mae, gmfe, prior_mfe, max_drawdown, profit_days, return.
  void measures(double* out) const noexcept {
    out[0] = trough - 1;
    out[1] = peak - 1;
    out[2] = prior - 1;
    out[3] = drawdown;
    out[4] = profit_days;
    out[5] = ratio - 1;
  }
};

// Follows the trade from its entry date to `end` (at least `window` dates
// after the entry, clipped to the data), keeps the measures of the sampled
// days and of the exit day, then applies the exit costs to the last tracked
// day when the exit charges them. `out` is reused between trades so that
// its buffer is allocated only while it grows.
inline Error track(const MatrixView& price, const MatrixView& close, const Trade& trade,
                   const Settings& settings, Summary& out) {
  out.samples.clear();
  out.exit_date = settings.current_date;
  out.entry_date = trade.entry_index;
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

  // Days 0 .. last are tracked. A negative window samples the whole path;
  // a step below 1 samples nothing.
  const std::int64_t last = end > entry ? end - entry : 0;
  const std::int64_t window = settings.tradearc_window;
  const std::int64_t step = settings.tradearc_window_step;
  const std::int64_t sampled = window < 0 ? last + 1 : std::min(window, last + 1);
  std::int64_t next_sample = step > 0 && sampled > 0 ? 0 : -1;
  if (next_sample == 0) out.samples.reserve(static_cast<std::size_t>((sampled - 1) / step + 1) * kMeasures);
  out.exit_day = std::min(last, std::int64_t{settings.current_date} - entry);

  auto keep = [&](std::int64_t t, const Day& day) {
    if (t == next_sample) {
      const std::size_t at = out.samples.size();
      out.samples.resize(at + kMeasures);
      day.measures(out.samples.data() + at);
      next_sample = t + step < sampled ? t + step : -1;
    }
    if (t == out.exit_day) day.measures(out.exit);
  };

  // Entered at the trade price, valued at the close of the entry date.
  Day day;
  double r = trade.is_long ? c0 / p0 : 2 - c0 / p0;
  if (trade.charge_entry) r = (1 - settings.fee_ratio) * r;
  day.ratio = r;
  day.peak = 1.0 > r ? 1.0 : r;
  day.trough = r > 1.0 ? 1.0 : r;
  day.prior = day.peak;
  day.drawdown = 0 > r - 1 ? r - 1 : 0.0;
  day.profit_days = r > 1.0 ? 1.0 : 0.0;
  keep(0, day);

  double prev_close = c0;
  for (std::int64_t t = 1; t <= last; ++t) {
    double x = 0.0;
    if (Error e = read(close, entry + t, col, x)) return e;
    const bool valid = !std::isnan(x);
    if (valid) {
      if (prev_close == 0) return {Status::float_division};
      const double q = x / prev_close;
      prev_close = x;
      // A short position mirrors the long path around 2, compounded daily.
      if (!std::isnan(q)) r = trade.is_long ? r * q : 2 - (2 - r) * q;
    }
    const double previous_peak = day.peak;
    if (r > day.peak) day.peak = r;
    if (day.trough > r) {
      day.trough = r;
      day.prior = previous_peak;
    }
    if (day.peak == 0) return {Status::float_division};
    const double dd = r / day.peak - 1;
    if (day.drawdown > dd) day.drawdown = dd;
    if (valid && r > 1.0) day.profit_days = day.profit_days + 1;
    day.ratio = r;
    keep(t, day);
  }

  if (trade.charge_exit) {
    double ratio = day.ratio;
    if (entry != end) {
      // Sold at the trade price of the last tracked date, not at its close.
      double p = 0.0;
      double cc = 0.0;
      if (Error e = read(price, end, col, p)) return e;
      if (Error e = read(close, end, col, cc)) return e;
      if (cc == 0) return {Status::float_division};
      ratio = trade.is_long ? p / cc * ratio : 2 - (2 - ratio) * p / cc;
    }
    ratio = (1 - settings.fee_ratio - settings.tax_ratio) * ratio;
    // Only the return of the last tracked day carries the exit costs.
    const std::int64_t blocks = static_cast<std::int64_t>(out.sample_blocks());
    if (blocks > 0 && (blocks - 1) * step == last) out.samples.back() = ratio - 1;
    if (out.exit_day == last) out.exit[kMeasures - 1] = ratio - 1;
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

// Writes the sampled blocks and the exit block into `out`, whose unwritten
// samples the caller has filled with -1. `n` is the length from
// record_length.
inline Error write_record(const Summary& summary, std::int64_t n, const RecordView& out) noexcept {
  auto put = [&](std::int64_t pos, const double* values) -> Error {
    for (int j = 0; j < kMeasures; ++j) {
      const std::int64_t at = pos + j;
      if (at < 0 || at >= out.size) return {Status::record_out_of_bounds};
      std::memcpy(out.data + at * out.stride, &values[j], sizeof(double));
    }
    return {};
  };
  const std::size_t blocks = summary.sample_blocks();
  for (std::size_t q = 0; q < blocks; ++q) {
    if (Error e = put(static_cast<std::int64_t>(q) * kMeasures, summary.samples.data() + q * kMeasures)) return e;
  }
  if (summary.exit_day < 0) return {Status::exit_before_entry, summary.exit_date, summary.entry_date};
  return put(n - kMeasures, summary.exit);
}

}  // namespace quorex::kernel::excursion
