// The trades of one run kept in native columns, for hosts that need no
// Python objects: one entry per closed (or, at the end, still open) trade,
// with its fills, exit reason and excursion record.
//
// It follows the recording rules of the module analysis: a column's entry
// date, position and entry charge are remembered until the column exits;
// the exit appends the trade and its record, the direction being the truth
// of `position > 0`. Each trade also carries the fees and taxes it paid and
// the holding it belongs to. Nothing here touches the interpreter.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "kernel/excursion.hpp"

namespace quorex::kernel::excursion {

// The caller's window sizes the records, up to tens of gigabytes per trade;
// such a request must end as std::bad_alloc (a MemoryError for the binding)
// however the runtime treats a failed throwing operator new: a sanitizer's
// allocator aborts on one, while its nothrow form reports the failure.
template <class T>
struct RecordAllocator {
  using value_type = T;
  RecordAllocator() = default;
  template <class U>
  RecordAllocator(const RecordAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    void* p = ::operator new(n * sizeof(T), std::nothrow);
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p); }
  friend bool operator==(const RecordAllocator&, const RecordAllocator&) noexcept { return true; }
};

struct TradeColumns {
  std::vector<std::int64_t> sid;
  std::vector<std::int64_t> entry_row;
  std::vector<std::int64_t> exit_row;  // -1 while open
  std::vector<double> position;        // value at entry, as a fraction of the equity
  std::vector<double> entry_price;
  std::vector<double> exit_price;
  std::vector<std::int8_t> exit_reason;  // the engine's ExitReason codes
  std::vector<std::uint8_t> entry_charged;
  std::vector<std::uint8_t> exit_charged;
  std::vector<double> fee;  // paid over the trade's life, in units of the starting capital
  std::vector<double> tax;
  std::vector<double> slippage;  // lost to slippage in the fill prices, in the same unit
  std::vector<double> shares;    // the most the record held (with a starting capital; else NaN)
  std::vector<std::int64_t> holding;  // 0, 1, ... in the order the holdings were opened
  std::vector<double, RecordAllocator<double>> records;  // trades x record_length, row-major
  std::int64_t record_length = 0;

  std::size_t size() const noexcept { return sid.size(); }
};

class TradeLog {
 public:
  // `column_of[sid]` is the price column of position column sid, or -1 (an
  // unmapped column reads price column 0, as the analysis does).
  TradeLog(const MatrixView& price, const MatrixView& close, const std::vector<int>& column_of, double fee_ratio,
           double tax_ratio, int window, int step)
      : price_(price),
        close_(close),
        column_of_(column_of),
        settings_{fee_ratio, tax_ratio, window, step, 0},
        open_(column_of.size()) {}

  void date(int date_index) noexcept { settings_.current_date = date_index; }

  // An uncharged entry is the second half of a split at a rebalance that
  // kept the position: it continues the holding of the trade that just
  // exited, unless the split turned the position around.
  void entry(int sid, double position, int charge_entry, double fill) noexcept {
    Open& o = open_[static_cast<std::size_t>(sid)];
    const bool continues = charge_entry == 0 && o.holding >= 0 && same_side(o.position, position);
    const std::int64_t holding = continues ? o.holding : holdings_++;
    o = {settings_.current_date, position, charge_entry != 0, fill, holding};
  }

  // Costs of the column's latest trade: a closing trade's go to the trade it
  // closed, any other's to the open one.
  void costs(int sid, double fee, double tax, double slippage, bool closed) noexcept {
    Open& o = open_[static_cast<std::size_t>(sid)];
    if (!closed) {
      o.fee = o.fee + fee;
      o.tax = o.tax + tax;
      o.slippage = o.slippage + slippage;
    } else if (o.appended_as >= 0) {
      const auto k = static_cast<std::size_t>(o.appended_as);
      trades_.fee[k] = trades_.fee[k] + fee;
      trades_.tax[k] = trades_.tax[k] + tax;
      trades_.slippage[k] = trades_.slippage[k] + slippage;
    }
  }

  // The shares the column holds after a fill: a record keeps the most it
  // held (a position built or sold over several fills counts in full).
  void shares(int sid, double shares) noexcept {
    Open& o = open_[static_cast<std::size_t>(sid)];
    if (std::isnan(o.shares) || std::fabs(shares) > std::fabs(o.shares)) o.shares = shares;
  }

  Error exit(int sid, int charge_exit, std::int8_t reason, double fill) {
    return append(sid, settings_.current_date, charge_exit != 0, reason, fill);
  }

  // A trade still held when the run ends; `mark` is its last price.
  Error still_open(int sid, std::int8_t reason, double mark) { return append(sid, -1, false, reason, mark); }

  TradeColumns& trades() noexcept { return trades_; }

 private:
  struct Open {
    int entry_row = 0;
    double position = 0.0;
    bool charged = false;
    double fill = NAN;
    std::int64_t holding = -1;
    double fee = 0.0;
    double tax = 0.0;
    double slippage = 0.0;
    double shares = NAN;
    std::int64_t appended_as = -1;  // the trade this one became on exit
  };

  // Sides as the sign of the position tells them; NaN has none.
  static bool same_side(double a, double b) noexcept {
    return !std::isnan(a) && !std::isnan(b) && (a > 0) == (b > 0) && (a < 0) == (b < 0);
  }

  int price_column(int sid) const noexcept {
    const int p = column_of_[static_cast<std::size_t>(sid)];
    return p >= 0 ? p : 0;
  }

  // The entry's fill: the trade price of the entry date, or, when that was
  // missing, the first price after it, from which the position was marked.
  double entry_fill(const Open& o, int column) const noexcept {
    if (!std::isnan(o.fill)) return o.fill;
    for (std::int64_t row = o.entry_row + 1; row <= settings_.current_date; ++row) {
      double x = NAN;
      if (read(price_, row, column, x) || std::isnan(x)) continue;
      return x;
    }
    return NAN;
  }

  // Flattened: the columns' appends inlined, as they are in a smaller unit.
  [[gnu::flatten]] Error append(int sid, int exit_row, bool charge_exit, std::int8_t reason, double fill) {
    Open& o = open_[static_cast<std::size_t>(sid)];
    const int column = price_column(sid);
    const Trade trade{column, o.entry_row, o.position > 0, o.charged, charge_exit};
    if (Error e = track(price_, close_, trade, settings_, summary_)) return e;
    std::int64_t n = 0;
    if (Error e = record_length(settings_.tradearc_window, settings_.tradearc_window_step, n)) return e;
    if (n < 0) return {Status::negative_length};
    trades_.record_length = n;
    const std::size_t at = trades_.records.size();
    trades_.records.resize(at + static_cast<std::size_t>(n), -1.0);
    const RecordView view{reinterpret_cast<char*>(trades_.records.data() + at), n, sizeof(double)};
    if (Error e = write_record(summary_, n, view)) {
      trades_.records.resize(at);
      return e;
    }
    trades_.sid.push_back(sid);
    trades_.entry_row.push_back(o.entry_row);
    trades_.exit_row.push_back(exit_row);
    trades_.position.push_back(o.position);
    trades_.entry_price.push_back(entry_fill(o, column));
    trades_.exit_price.push_back(fill);
    trades_.exit_reason.push_back(reason);
    trades_.entry_charged.push_back(o.charged);
    trades_.exit_charged.push_back(charge_exit);
    trades_.fee.push_back(o.fee);
    trades_.tax.push_back(o.tax);
    trades_.slippage.push_back(o.slippage);
    trades_.shares.push_back(o.shares);
    trades_.holding.push_back(o.holding);
    o.appended_as = static_cast<std::int64_t>(trades_.size()) - 1;
    return {};
  }

  MatrixView price_;
  MatrixView close_;
  const std::vector<int>& column_of_;
  Settings settings_;
  std::vector<Open> open_;
  std::int64_t holdings_ = 0;
  Summary summary_;  // scratch reused by every trade
  TradeColumns trades_;
};

}  // namespace quorex::kernel::excursion
