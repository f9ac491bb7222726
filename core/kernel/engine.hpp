// The backtest engine: one pass over the trading dates of a market, marking
// held positions to the trade price, applying the exit rules, rebalancing to
// target weights with fees and taxes, and valuing the portfolio at the close.
//
// The engine knows nothing of the interpreter. It reads the market through
// strided views and talks to the outside world through `Host`: the trade
// recorder (dates, entries, exits, what each trade paid) and the rule
// switches that are looked up at the moment they matter. Money is in units
// of the starting capital.
//
// Floating-point expressions are written in the association order the
// results are defined by; do not "simplify" them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernel/execution.hpp"
#include "kernel/pairwise_sum.hpp"
#include "kernel/views.hpp"

namespace quorex::kernel {

using Index = std::ptrdiff_t;

// Why a position was closed. `open` marks a trade still held at the end.
enum class ExitReason : std::int8_t { rebalance, stop_loss, take_profit, trail_stop, open };

// An entry of the exit lists: the position column and the kind of exit.
// `upper` is the positive kind (upper bound, or the winning side of a
// touched exit); the kind is explicit because column 0 has no sign.
// `reason` names the rule whose bound was crossed.
struct ExitMark {
  int sid;
  bool upper;
  ExitReason reason = ExitReason::rebalance;
};

struct Market {
  Matrix<double> price;  // trade price, dates x price columns
  Matrix<double> close;
  Matrix<double> high;  // high/low/open: read in touched mode only
  Matrix<double> low;
  Matrix<double> open;
  Vector<std::int64_t> price_index;
  Matrix<double> weights;  // position dates x position columns
  Vector<std::int64_t> pos_index;
  Vector<std::int64_t> resample;
};

struct Rules {
  double fee_ratio = 0.001425;
  double tax_ratio = 0.003;
  double stop_loss = 1.0;  // distances: the engine uses their absolute values
  double take_profit = INFINITY;
  double trail_stop = INFINITY;
  double position_limit = 1.0;
  bool touched_exit = false;
  bool retain_cost_when_rebalance = false;
  // A rebalance on a day a held stock has no price keeps its last price as
  // the reference its next price is compared with (and as the fill of the
  // trade record that continues it). Off, the missing price is taken, the
  // next price is compared with nothing, and the move between is lost.
  bool keep_last_price = false;
};

// What one trade paid: the fee, charged on every trade, and the tax, charged
// on trades that reduce exposure. fee + tax is the amount the engine took off
// the cash or the position, to the bit when the two ratios share a sign.
// `slippage` is what the fill lost to slippage against the trade price; it
// is part of the fill price, not of fee + tax.
struct Costs {
  double fee = 0.0;
  double tax = 0.0;
  double slippage = 0.0;
};

// An order on the date it was due, as the execution rules filled it:
// `wanted` and `filled` are signed shares with a starting capital, values
// in units of the starting capital without one; `base` is the equity the
// order was sized from; `reason` says why it did not fill in full.
struct OrderReport {
  int sid;
  double wanted;
  double filled;
  double price;
  double base;
  Unfilled reason;
};

// What the engine needs from its environment. Every call may fail (false or
// -1); the engine then stops at once and the host owns the error.
class Host {
 public:
  virtual bool record_date(int date_index) = 0;
  // `weight` of the entry is target / weight_base, computed by the host.
  // `fill` is the price the trade was made at: the day's trade price for an
  // entry; for an exit the price the position was last marked to, the
  // touched level, or the open that gapped through it.
  virtual bool record_entry(int sid, double target, double weight_base, int charge_entry, double fill) = 0;
  virtual bool record_exit(int sid, int charge_exit, ExitReason reason, double fill) = 0;
  // What the trade just made in `sid` paid, reported after its entry and exit
  // records: `closed` when the trade closed the position (the costs belong to
  // the record it closed), otherwise they belong to the record the position
  // is in now, the new one when a rebalance split it.
  virtual bool record_costs(int sid, Costs costs, bool closed) = 0;
  // Truth values of the switches consulted when a held position is
  // re-targeted (-1 on error).
  virtual int retain_cost_setting() = 0;
  virtual int resample_setting() = 0;
  virtual int stop_trading_next_period() = 0;
  // Reports of the execution rules, never made with every rule off.
  virtual bool record_order(const OrderReport&) { return true; }
  // The shares `sid` holds after a fill (with a starting capital).
  virtual void record_shares(int, double) {}
  // Interest earned on cash and fee paid on shorts since the previous date.
  virtual void record_carry(double, double) {}
  // The cash at the close (with a starting capital).
  virtual void record_close(double) {}

 protected:
  ~Host() = default;
};

// Held positions: sid -> signed value, iterated in ascending sid. A sorted
// vector: a portfolio holds tens to hundreds of names and is walked every
// date, while inserts and removals only happen when trading. A rebalance
// visits every column, most of them not held, so absence is answered by a
// flag per column without searching.
class HeldPositions {
 public:
  using Item = std::pair<int, double>;

  explicit HeldPositions(std::size_t columns) : present_(columns, 0) {}

  auto begin() noexcept { return items_.begin(); }
  auto end() noexcept { return items_.end(); }
  auto begin() const noexcept { return items_.begin(); }
  auto end() const noexcept { return items_.end(); }
  bool empty() const noexcept { return items_.empty(); }
  const std::vector<Item>& items() const noexcept { return items_; }

  // The members every trade calls are always inlined: as calls they would
  // cost the daily loop a tenth of its time.
  [[gnu::always_inline]] double* find(int sid) noexcept {
    if (!present(sid)) return nullptr;
    return &lower(sid)->second;
  }
  const double* find(int sid) const noexcept { return const_cast<HeldPositions*>(this)->find(sid); }
  // Adds `sid` (a column index below `columns`) with `value`; the caller has
  // checked it is absent.
  [[gnu::always_inline]] double& insert(int sid, double value) {
    present_[static_cast<std::size_t>(sid)] = 1;
    return items_.insert(lower(sid), {sid, value})->second;
  }
  [[gnu::always_inline]] void erase(int sid) noexcept {
    if (!present(sid)) return;
    present_[static_cast<std::size_t>(sid)] = 0;
    items_.erase(lower(sid));
  }

 private:
  bool present(int sid) const noexcept {
    return sid >= 0 && static_cast<std::size_t>(sid) < present_.size() && present_[static_cast<std::size_t>(sid)];
  }
  std::vector<Item>::iterator lower(int sid) noexcept {
    return std::lower_bound(items_.begin(), items_.end(), sid,
                            [](const Item& item, int key) { return item.first < key; });
  }
  std::vector<Item> items_;
  std::vector<char> present_;
};

enum class Status {
  ok,
  aborted,          // the host reported an error
  pos_index_empty,  // a trading date had to be compared with pos_index[0]
};

class Engine {
 public:
  // `column_of[sid]` is the price column of position column sid, or -1.
  // Shapes must be consistent (the caller checks them): price/close (and
  // high/low/open in touched mode) are N x M with N = len(price_index);
  // weights has one column per position column and, when both are
  // non-empty, one row per pos_index date; the weights have at least one row.
  // `execution` holds the execution rules; by default all of them are off.
  Engine(const Market& market, const Rules& rules, std::vector<int> column_of, Host& host,
         const Execution& execution = Execution{})
      : m_(market),
        rules_(rules),
        column_of_(std::move(column_of)),
        host_(host),
        sl_(std::fabs(rules.stop_loss)),
        tp_(std::fabs(rules.take_profit)),
        ts_(std::fabs(rules.trail_stop)),
        held_(static_cast<std::size_t>(market.weights.cols)),
        cost_(static_cast<std::size_t>(market.weights.cols), 1.0),
        peak_(cost_),
        ref_price_(static_cast<std::size_t>(market.price.cols), 1.0),
        held_column_(static_cast<std::size_t>(market.price.cols), 0),
        exec_(execution),
        desk_(exec_, market.close, market.price.cols),
        ruled_(exec_.active()),
        capital_(exec_.capital_mode()) {
    column_of_.resize(cost_.size(), -1);
    build_mask();
    if (ruled_) order_flags_.assign(cost_.size(), 0);
    if (capital_) shares_.assign(cost_.size(), 0.0);
  }

  // Runs every date, writing equity into creturn[0..N). With every execution
  // rule off the daily loop is compiled without a trace of them.
  Status run(double* creturn) { return ruled_ ? run_dates<true>(creturn) : run_dates<false>(creturn); }

  // End-of-run state.
  const HeldPositions& held() const noexcept { return held_; }
  const std::vector<HeldPositions::Item>& snapshot() const noexcept { return snapshot_; }
  const std::vector<ExitMark>& pending_exits() const noexcept { return pending_; }
  const std::vector<ExitMark>& stopped_out() const noexcept { return stopped_; }
  Index current_row() const noexcept { return current_row_; }
  Index applied_row() const noexcept { return applied_row_; }
  bool rebalance_due() const noexcept { return rebalance_due_; }
  // Trading-date rows on which a weight row was traded, ascending, and the
  // weight row traded on each.
  const std::vector<Index>& rebalance_rows() const noexcept { return rebalance_rows_; }
  const std::vector<Index>& rebalance_weight_rows() const noexcept { return rebalance_weight_rows_; }
  // The price a held position was last marked to (NaN before its first price).
  double mark_price(int sid) const noexcept { return ref_price_[static_cast<std::size_t>(column(sid))]; }

 private:
  template <bool Ruled>
  Status run_dates(double* creturn) {
    cash_ = capital_ ? exec_.capital : 1.0;
    const Index n = m_.price_index.size;
    for (Index d = 0; d < n; ++d) {
      today_ = d;
      if (m_.pos_index.size == 0) return Status::pos_index_empty;
      if (m_.price_index[d] < m_.pos_index[0]) {
        creturn[d] = 1.0;
        continue;
      }
      if (!host_.record_date(static_cast<int>(d))) return Status::aborted;
      if (Ruled && exec_.carries()) accrue_carry(d);
      if (!mark_and_check<Ruled>(d)) return Status::aborted;
      if (!execute_pending<Ruled>()) return Status::aborted;
      if (Ruled && !orders_.empty() && !rebalance_due_ && !retry_orders(d)) return Status::aborted;
      pending_.swap(signals_);
      signals_.clear();
      if (rebalance_due_ && !rebalance<Ruled>(d)) return Status::aborted;
      if (Ruled && capital_) {
        creturn[d] = value_at_close(d) / exec_.capital;
        host_.record_close(cash_);
      } else {
        creturn[d] = value_at_close(d);
      }
      if (Ruled && exec_.carries()) close_carry(d);
      advance_rows(d);
      rebalance_due_ = current_row_ != applied_row_ && mask_[static_cast<std::size_t>(d)] != 0;
    }
    return Status::ok;
  }


  struct Bounds {
    double upper;
    double lower;
  };

  // Each resample date marks the last trading date on or before it.
  void build_mask() {
    const Index n = m_.price_index.size;
    mask_.assign(static_cast<std::size_t>(n), 0);
    if (n == 0) return;
    Index i = 0;
    for (Index k = 0; k < m_.resample.size; ++k) {
      const std::int64_t r = m_.resample[k];
      while (i + 1 < n && m_.price_index[i + 1] <= r) ++i;
      mask_[static_cast<std::size_t>(i)] = 1;
    }
  }

  // A column without a price column can only be held after the equity
  // became infinite (every target is then NaN); it reads price column 0,
  // the lookup default of an ordered map. M >= 1 whenever anything is held.
  int column(int sid) const noexcept {
    const int p = column_of_[static_cast<std::size_t>(sid)];
    return p >= 0 ? p : 0;
  }

  // max/min with the operand order of the rules (the first operand wins
  // unless the second compares greater/smaller), which fixes NaN handling.
  static double larger(double a, double b) noexcept { return b > a ? b : a; }
  static double smaller(double a, double b) noexcept { return b < a ? b : a; }

  Bounds bounds(double entry_value, double peak) const noexcept {
    if (entry_value > 0) return {1 + tp_, larger(peak - ts_, 1 - sl_)};
    return {smaller(peak + ts_, 1 + sl_), 1 - tp_};
  }

  // The rule behind a crossed bound: the winning side is the take profit;
  // the losing side is the trailing stop when its level, drawn from the
  // peak, lies inside the stop loss, and the stop loss otherwise.
  ExitReason exit_reason(double entry_value, bool upper_side, double peak) const noexcept {
    const bool is_long = entry_value > 0;
    if (is_long == upper_side) return ExitReason::take_profit;
    const bool trailing = is_long ? peak - ts_ > 1 - sl_ : peak + ts_ < 1 + sl_;
    return trailing ? ExitReason::trail_stop : ExitReason::stop_loss;
  }

  // The held columns are scattered across wide rows, so every read of a
  // date's prices is a cache miss; asking for the next date's lines while
  // this date is processed hides that latency. (Always inlined: as a call,
  // the compiler finds it free of effects and drops it.)
  [[gnu::always_inline]] void prefetch(Index d, int p) const noexcept {
    __builtin_prefetch(m_.price.data + d * m_.price.row_stride + p * m_.price.col_stride);
    __builtin_prefetch(m_.close.data + d * m_.close.row_stride + p * m_.close.col_stride);
    if (rules_.touched_exit) {
      __builtin_prefetch(m_.high.data + d * m_.high.row_stride + p * m_.high.col_stride);
      __builtin_prefetch(m_.low.data + d * m_.low.row_stride + p * m_.low.col_stride);
      __builtin_prefetch(m_.open.data + d * m_.open.row_stride + p * m_.open.col_stride);
    }
  }

  template <bool Ruled>
  bool mark_and_check(Index d) {
    const bool ahead = d + 1 < m_.price_index.size;
    for (auto& [sid, value] : held_) {
      const int p = column(sid);
      if (ahead) prefetch(d + 1, p);
      const auto s = static_cast<std::size_t>(sid);
      const double price = m_.price(d, p);
      double& ref = ref_price_[static_cast<std::size_t>(p)];
      if (std::isnan(ref)) ref = price;
      double r = price / ref;
      if (std::isnan(r)) r = 1.0;
      if (Ruled && capital_) {
        if (!std::isnan(price)) value = shares_[s] * price;
      } else {
        value = value * r;
      }
      cost_[s] = cost_[s] * r;
      peak_[s] = larger(cost_[s], peak_[s]);
      if (Ruled && order_flags_[s] == kExitOrder) {
        // An exit already on its way is not signalled again.
      } else if (rules_.touched_exit) {
        if (!touched_exit<Ruled>(d, sid, p, value, r, ref)) return false;
      } else {
        close_signal(d, sid, p, value, price);
      }
      if (!std::isnan(price)) ref = price;
    }
    return true;
  }

  void close_signal(Index d, int sid, int p, double value, double price) {
    const auto s = static_cast<std::size_t>(sid);
    const double c = cost_[s];
    const double e = value / c;
    const Bounds b = bounds(e, peak_[s]);
    const double x = c * m_.close(d, p) / price;
    if (x >= b.upper) {
      signals_.push_back({sid, true, exit_reason(e, true, peak_[s])});
    } else if (x < b.lower) {
      signals_.push_back({sid, false, exit_reason(e, false, peak_[s])});
    }
  }

  // Closes the position on the same date at the touched bound, or at the
  // open when the day opened beyond a bound. `value` aliases the held entry.
  template <bool Ruled>
  bool touched_exit(Index d, int sid, int p, double& value, double r, double ref) {
    const auto s = static_cast<std::size_t>(sid);
    const double c = cost_[s];
    const double e = value / c;
    const Bounds b = bounds(e, peak_[s]);
    const double base = c / r;
    const double high_ratio = base * m_.high(d, p) / ref;
    const double low_ratio = base * m_.low(d, p) / ref;
    const double open_ratio = base * m_.open(d, p) / ref;
    const bool touched_low = low_ratio <= b.lower;
    const bool touched_high = high_ratio >= b.upper;
    const bool open_beyond = open_ratio >= b.upper || open_ratio <= b.lower;
    const double before = value;
    double fill = 0.0;
    if (open_beyond) {
      value = e * open_ratio;
      fill = m_.open(d, p);
    } else if (touched_high) {
      value = e * b.upper;
      fill = b.upper * ref / base;
    } else if (touched_low) {
      value = e * b.lower;
      fill = b.lower * ref / base;
    } else {
      return true;
    }
    const bool losing_side = (touched_low && value > 0) || (touched_high && value < 0);
    const bool upper_side = open_beyond ? open_ratio >= b.upper : touched_high;
    const ExitReason reason = exit_reason(e, upper_side, peak_[s]);
    if (Ruled) return touched_exit_ruled(d, {sid, !losing_side, reason}, p, value, before, fill);
    stopped_.push_back({sid, !losing_side, reason});
    return set_position(sid, 0.0, /*check_held=*/false, /*drop_zero=*/false, 1.0, {reason, fill});
  }

  // Sells what was signalled on the previous close at today's marked value.
  template <bool Ruled>
  bool execute_pending() {
    for (const ExitMark s : pending_) {
      const int a = s.sid;
      bool keep = false;
      if (rebalance_due_) {
        const int stop = host_.stop_trading_next_period();
        if (stop < 0) return false;
        keep = !stop && m_.weights(current_row_, a) != 0;
      }
      const double* h = held_.find(a);
      if (h == nullptr || *h == 0) continue;
      if (keep) continue;
      auto same = std::find_if(signals_.begin(), signals_.end(), [a](const ExitMark& m) { return m.sid == a; });
      if (Ruled) {
        bool filled = false;
        if (!close_by_rule(s, filled)) return false;
        if (!filled) {  // the exit is now an order of its own
          if (same != signals_.end()) signals_.erase(same);
          continue;
        }
      } else if (!set_position(a, 0.0, /*check_held=*/false, /*drop_zero=*/true, 1.0, {s.reason, mark_price(a)})) {
        return false;
      }
      stopped_.push_back(s);
      cost_[static_cast<std::size_t>(a)] = 1.0;
      peak_[static_cast<std::size_t>(a)] = 1.0;
      if (same != signals_.end()) signals_.erase(same);
    }
    return true;
  }

  template <bool Ruled>
  bool rebalance(Index d) {
    const Vector<double> w = m_.weights.row(current_row_);
    const Index k = w.size;
    if (rules_.retain_cost_when_rebalance) {
      for (Index sid = 0; sid < k; ++sid) {
        const double v = w[sid];
        if (v == 0) continue;
        const double* h = held_.find(static_cast<int>(sid));
        if (h == nullptr || *h * v <= 0) {
          cost_[static_cast<std::size_t>(sid)] = 1.0;
          peak_[static_cast<std::size_t>(sid)] = 1.0;
        }
      }
    } else {
      std::fill(cost_.begin(), cost_.end(), 1.0);
      std::fill(peak_.begin(), peak_.end(), 1.0);
    }
    const int stop = host_.stop_trading_next_period();
    if (stop < 0) return false;
    target_.resize(static_cast<std::size_t>(k));
    for (Index sid = 0; sid < k; ++sid) target_[static_cast<std::size_t>(sid)] = w[sid];
    if (stop && !stopped_.empty()) {
      for (const ExitMark s : stopped_) target_[static_cast<std::size_t>(s.sid)] = 0.0;
    }
    if (rules_.keep_last_price) {
      std::fill(held_column_.begin(), held_column_.end(), 0);
      for (const auto& [sid, value] : held_) held_column_[static_cast<std::size_t>(column(sid))] = 1;
    }
    if (Ruled) replace_orders(stop != 0);
    if (!size_positions<Ruled>()) return false;
    stopped_.clear();
    signals_.clear();
    snapshot_ = held_.items();
    applied_row_ = current_row_;
    rebalance_rows_.push_back(d);
    rebalance_weight_rows_.push_back(applied_row_);
    for (Index p = 0; p < m_.price.cols; ++p) {
      const double price = m_.price(d, p);
      // A stock held on into a day without its price keeps the last price it was marked to;
      // one bought today without a price is marked from its first price, as always.
      const bool keep = rules_.keep_last_price && std::isnan(price) && held_column_[static_cast<std::size_t>(p)];
      if (!keep) ref_price_[static_cast<std::size_t>(p)] = price;
    }
    return true;
  }

  // Trades every position column to its share of the equity at the start of
  // the rebalance; total, divisor and scale ignore the fees paid on the way.
  template <bool Ruled>
  bool size_positions() {
    double held_sum = 0.0;
    for (const auto& [sid, value] : held_) held_sum += value;
    const double total = cash_ + held_sum;
    const auto k = static_cast<Index>(target_.size());
    magnitudes_.resize(target_.size());
    for (std::size_t i = 0; i < target_.size(); ++i) magnitudes_[i] = std::fabs(target_[i]);
    const double base = numpy_sum(magnitudes_.data(), k);
    const double divisor = 1 > base ? 1.0 : base;
    double scale = total / divisor;
    if (std::isnan(scale)) scale = 1.0;
    const double cap = total * rules_.position_limit;
    for (Index sid = 0; sid < k; ++sid) {
      double target = target_[static_cast<std::size_t>(sid)] * scale;
      if (std::fabs(target) > cap) target = target > 0 ? cap : -cap;
      // Most columns are neither held nor wanted: nothing to trade or record.
      if (target == 0 && held_.find(static_cast<int>(sid)) == nullptr) continue;
      const Exit exit{ExitReason::rebalance, mark_price(static_cast<int>(sid))};
      if (Ruled) {
        if (!rebalance_order(static_cast<int>(sid), target, total, exit)) return false;
      } else if (!set_position(static_cast<int>(sid), target, /*check_held=*/true, /*drop_zero=*/true, total, exit)) {
        return false;
      }
    }
    return true;
  }

  struct Exit {
    ExitReason reason;
    double fill;
  };

  // `cost` = rate x `base`, with the rate of the trade, split into its fee and
  // tax so that they add up to `cost` exactly: the part of the ratio of
  // larger magnitude is rounded on its own and, for ratios of one sign, lies
  // between half of `cost` and `cost`, so the remainder is exact (Sterbenz).
  Costs split(double cost, double base, bool taxed) const noexcept {
    if (!taxed) return {cost, 0.0};
    if (std::fabs(rules_.fee_ratio) >= std::fabs(rules_.tax_ratio)) {
      const double fee = rules_.fee_ratio * base;
      return {fee, cost - fee};
    }
    const double tax = rules_.tax_ratio * base;
    return {cost - tax, tax};
  }

  // Trades one position to `target` (0 closes it), charging the fee on every
  // trade and the tax as well on trades that reduce exposure. `exit` says
  // why and at what price the position would be closed. `slip` (execution
  // rules only) is the slippage of the fill, a fraction of the amount traded
  // taken like the fee; `may_split` is false for a pending order's later
  // fills, which continue the records of the rebalance that placed it.
  bool set_position(int sid, double target, bool check_held, bool drop_zero, double weight_base, Exit exit,
                    double slip = 0.0, bool may_split = true) {
    const double* found = held_.find(sid);
    const bool held = check_held ? found != nullptr : true;
    const bool now_open = found != nullptr && *found != 0;
    const bool target_open = target != 0;
    if (!now_open && target_open) {
      const double fill = slip == 0 ? entry_fill(sid) : entry_fill(sid) * (target > 0 ? 1 + slip : 1 - slip);
      if (!host_.record_entry(sid, target, weight_base, 1, fill)) return false;
    } else if (now_open && !target_open) {
      const double fill = slip == 0 ? exit.fill : exit.fill * (*found > 0 ? 1 - slip : 1 + slip);
      if (!host_.record_exit(sid, 1, exit.reason, fill)) return false;
    } else if (now_open && target_open && may_split) {
      if (!split_record(sid, target, weight_base, exit.fill, continuing_fill(sid))) return false;
    }
    const double fee = rules_.fee_ratio;
    const double tax = rules_.tax_ratio;
    Costs paid;
    if (target_open) {
      double* slot = held_.find(sid);
      if (slot == nullptr) slot = &held_.insert(sid, 0.0);
      double h = *slot;
      const double amount = target - h;
      const bool adds_exposure = (target >= 0 && amount > 0) || (target <= 0 && amount < 0);
      const double rate = adds_exposure ? fee : fee + tax;
      double cost = rate * std::fabs(amount);
      paid = split(cost, std::fabs(amount), !adds_exposure);
      if (slip != 0) {
        paid.slippage = slip * std::fabs(amount);
        cost = cost + paid.slippage;
      }
      if (amount > 0) {
        cash_ = cash_ - amount;
        h = h + amount - cost;
      } else {
        cash_ = cash_ + (-amount) - cost;
        h = h + amount;
      }
      *slot = h;
      if (drop_zero && h == 0) held_.erase(sid);
    } else if (held) {
      double* slot = held_.find(sid);
      if (slot == nullptr) slot = &held_.insert(sid, 0.0);
      const double h = *slot;
      double cost = std::fabs(h) * (fee + tax);
      paid = split(cost, std::fabs(h), true);
      if (slip != 0) {
        paid.slippage = slip * std::fabs(h);
        cost = cost + paid.slippage;
      }
      cash_ = cash_ + h - cost;
      if (drop_zero) {
        held_.erase(sid);
      } else {
        *slot = 0.0;
      }
    }
    // A column that was not held and stays out trades nothing.
    return !(now_open || target_open) || host_.record_costs(sid, paid, !target_open);
  }

  // A rebalance that keeps a position open: with periodically_rebalance (and
  // without retain_cost_when_rebalance) the trade record is split there.
  bool split_record(int sid, double target, double weight_base, double exit_fill, double entry_fill) {
    const int retain = host_.retain_cost_setting();
    if (retain < 0) return false;
    if (retain) return true;
    const int resample = host_.resample_setting();
    if (resample < 0) return false;
    if (!resample) return true;
    return host_.record_exit(sid, 0, ExitReason::rebalance, exit_fill) &&
           host_.record_entry(sid, target, weight_base, 0, entry_fill);
  }

  double entry_fill(int sid) const noexcept { return m_.price(today_, column(sid)); }

  // The fill of the record that continues a position split at a rebalance: today's price, or,
  // without one and with keep_last_price, the last price the position was marked to.
  double continuing_fill(int sid) const noexcept {
    const double price = entry_fill(sid);
    return rules_.keep_last_price && std::isnan(price) ? mark_price(sid) : price;
  }

  // ---------------------------------------------------------------------------
  // The execution rules. Everything below is reached only while a rule is on
  // (`ruled_`); with every rule off the engine never comes here. The entry
  // points stay out of line so that the plain path is compiled as before.

  static constexpr char kRebalanceOrder = 1;
  static constexpr char kExitOrder = 2;

  // An order not filled in full on its date, retried at the trade dates that
  // follow until it fills or the next rebalance replaces it. It keeps the
  // weight it was to reach: each retry trades toward that share of the
  // equity of its day, so a price that ran away is not bought on credit.
  struct Order {
    ExitMark mark;  // the column, and for an exit order the rule that closed it
    double weight;  // target value / the equity it was sized from; 0 for an exit
    bool exit_rule;
    Index since;    // the date it was due
  };

  static Side side_of(double amount) noexcept { return amount > 0 ? Side::buy : Side::sell; }

  double equity_now() const noexcept {
    double equity = cash_;
    for (const auto& [sid, value] : held_) equity += value;
    return equity;
  }

  bool report(int sid, double wanted, double filled, double price, double base, Unfilled reason) {
    return host_.record_order({sid, wanted, filled, price, base, reason});
  }

  // Keeps the unfilled part of an order for the following dates; an exit
  // order stays even when unfilled orders are cancelled.
  void place(int sid, double weight, ExitMark mark, bool exit_rule) {
    if (!exec_.retry && !exit_rule) return;
    drop_order(sid);
    orders_.push_back({mark, weight, exit_rule, today_});
    order_flags_[static_cast<std::size_t>(sid)] = exit_rule ? kExitOrder : kRebalanceOrder;
  }

  void drop_order(int sid) {
    char& flag = order_flags_[static_cast<std::size_t>(sid)];
    if (!flag) return;
    flag = 0;
    orders_.erase(std::find_if(orders_.begin(), orders_.end(), [sid](const Order& o) { return o.mark.sid == sid; }));
  }

  // A rebalance replaces every pending order; a stock whose exit order is
  // still pending sits the period out like one stopped out.
  [[gnu::noinline]] void replace_orders(bool stop) {
    for (const Order& o : orders_) {
      if (stop && o.exit_rule) target_[static_cast<std::size_t>(o.mark.sid)] = 0.0;
      order_flags_[static_cast<std::size_t>(o.mark.sid)] = 0;
    }
    orders_.clear();
  }

  // The price a capital-mode order trades at: today's trade price, or, for
  // a held stock without one, the price it was last valued at.
  double order_price(int sid, int p) const noexcept {
    const double price = m_.price(today_, p);
    if (!std::isnan(price)) return price;
    const double shares = shares_[static_cast<std::size_t>(sid)];
    const double* value = held_.find(sid);
    return shares != 0 && value != nullptr ? *value / shares : NAN;
  }

  // The whole lots to hold for a target value: a long bought larger pays
  // its fee and slippage out of the amount, so the cash covers the buy.
  double target_shares(int p, double target, double price, double held) noexcept {
    double q = target / price;
    if (target > 0 && held >= 0 && q > held) {
      const double amount = target - held * price;
      const double unit = price * (1 + desk_.slippage(today_, p, amount / price));
      double n = amount / (unit * (1 + rules_.fee_ratio));
      if (rules_.fee_ratio * n * unit < exec_.min_fee) n = (amount - exec_.min_fee) / unit;
      q = held + (n > 0 ? n : 0.0);
    }
    return desk_.whole_lots(q);
  }

  // Capital mode: trades `sid` toward `target` shares at `price` (the trade
  // price, or the touched level of an exit) as far as the day's volume
  // allows, paying slippage in the fill price, the fee (at least the
  // minimum) and the tax on shares that reduce exposure. `traded` is the
  // signed number of shares filled.
  bool trade_shares(int sid, double target, double price, double base, ExitReason reason, bool may_split,
                    bool drop_zero, double& traded) {
    const auto s = static_cast<std::size_t>(sid);
    const int p = column(sid);
    const double held = shares_[s];
    const double wanted = target - held;
    const double room = desk_.room(today_, p);
    traded = std::fabs(wanted) <= room ? wanted : (wanted > 0 ? room : -room);
    if (traded == 0) return true;
    const double next = held + traded;
    const double slip = desk_.slippage(today_, p, traded);
    const double fill = traded > 0 ? price * (1 + slip) : price * (1 - slip);
    const double sold = (held > 0 && traded < 0) || (held < 0 && traded > 0)
                            ? std::min(std::fabs(traded), std::fabs(held))
                            : 0.0;
    const Costs paid{desk_.fee(rules_.fee_ratio, std::fabs(traded) * fill), rules_.tax_ratio * sold * fill,
                     std::fabs(traded) * price * slip};
    const double today = m_.price(today_, p);
    const double mark = std::isnan(today) ? price : today;
    if (held == 0) {
      if (!host_.record_entry(sid, next * mark, base, 1, fill)) return false;
    } else if (next == 0) {
      if (!host_.record_exit(sid, 1, reason, fill)) return false;
    } else if (may_split && !split_record(sid, next * mark, base, mark_price(sid), fill)) {
      return false;
    }
    cash_ = cash_ - traded * fill - paid.fee - paid.tax;
    shares_[s] = next;
    double* slot = held_.find(sid);
    if (next != 0 || !drop_zero) {
      if (slot == nullptr) slot = &held_.insert(sid, 0.0);
      *slot = next * mark;
    } else {
      held_.erase(sid);
    }
    desk_.use(today_, p, std::fabs(traded));
    host_.record_shares(sid, next);
    return host_.record_costs(sid, paid, next == 0);
  }

  // A rebalance's order for one column under the execution rules.
  [[gnu::noinline]] bool rebalance_order(int sid, double target, double total, Exit exit) {
    const int p = column(sid);
    if (!capital_) {
      const double* found = held_.find(sid);
      const double amount = target - (found != nullptr ? *found : 0.0);
      if (amount == 0) return set_position(sid, target, true, true, total, exit);
      const double price = m_.price(today_, p);
      const Unfilled why = desk_.blocked(today_, p, side_of(amount), price);
      if (why == Unfilled::none) {
        return report(sid, amount, amount, price, total, why) &&
               set_position(sid, target, true, true, total, exit, exec_.slippage);
      }
      place(sid, target / total, {sid, false, ExitReason::rebalance}, false);
      return report(sid, amount, 0.0, price, total, why);
    }
    const double held = shares_[static_cast<std::size_t>(sid)];
    const double price = order_price(sid, p);
    if (std::isnan(price)) {  // never priced: no quantity can be worked out, nor traded
      if (target == 0) return true;
      place(sid, target / total, {sid, false, ExitReason::rebalance}, false);
      return report(sid, NAN, 0.0, price, total, Unfilled::untradable);
    }
    const double q = target_shares(p, target, price, held);
    if (q == held) {
      if (held == 0) return true;
      if (!split_record(sid, held * price, total, exit.fill, price)) return false;
      host_.record_shares(sid, held);
      return true;
    }
    Unfilled why = desk_.blocked(today_, p, side_of(q - held), price);
    double traded = 0.0;
    if (why == Unfilled::none && !trade_shares(sid, q, price, total, exit.reason, true, true, traded)) return false;
    if (traded != q - held) {
      if (why == Unfilled::none) why = Unfilled::volume;
      place(sid, target / total, {sid, false, ExitReason::rebalance}, false);
    }
    return report(sid, q - held, traded, price, total, why);
  }

  // A stop exit signalled on the previous close, under the execution rules;
  // `filled` tells whether the position is gone.
  [[gnu::noinline]] bool close_by_rule(ExitMark s, bool& filled) {
    const int sid = s.sid;
    const int p = column(sid);
    filled = false;
    drop_order(sid);
    if (capital_) {
      const double held = shares_[static_cast<std::size_t>(sid)];
      const double price = order_price(sid, p);
      Unfilled why = desk_.blocked(today_, p, side_of(-held), price);
      double traded = 0.0;
      if (why == Unfilled::none && !trade_shares(sid, 0.0, price, equity_now(), s.reason, false, true, traded)) {
        return false;
      }
      filled = traded == -held;
      if (!filled) {
        if (why == Unfilled::none) why = Unfilled::volume;
        place(sid, 0.0, s, true);
      }
      return report(sid, -held, traded, price, equity_now(), why);
    }
    const double held = *held_.find(sid);
    const double price = m_.price(today_, p);
    const Unfilled why = desk_.blocked(today_, p, side_of(-held), price);
    if (why == Unfilled::none) {
      filled = true;
      return report(sid, -held, -held, price, equity_now(), why) &&
             set_position(sid, 0.0, false, true, 1.0, {s.reason, mark_price(sid)}, exec_.slippage);
    }
    place(sid, 0.0, s, true);
    return report(sid, -held, 0.0, price, equity_now(), why);
  }

  // A touched exit under the execution rules: no fill on a day locked at
  // the limit against it (the exit then waits for the next trade dates);
  // otherwise a fill at the touched level, as far as the volume allows.
  [[gnu::noinline]] bool touched_exit_ruled(Index d, ExitMark mark, int p, double& value, double before, double fill) {
    const int sid = mark.sid;
    drop_order(sid);
    const Side side = side_of(-before);
    Unfilled why = desk_.locked(d, p, side, m_.high(d, p), m_.low(d, p));
    if (why != Unfilled::none) {
      value = before;
      place(sid, 0.0, mark, true);
      return report(sid, capital_ ? -shares_[static_cast<std::size_t>(sid)] : -before, 0.0, fill, equity_now(), why);
    }
    if (!capital_) {
      stopped_.push_back(mark);
      return report(sid, -before, -before, fill, equity_now(), why) &&
             set_position(sid, 0.0, false, false, 1.0, {mark.reason, fill}, exec_.slippage);
    }
    value = before;
    const double held = shares_[static_cast<std::size_t>(sid)];
    double traded = 0.0;
    const double base = equity_now();
    if (!trade_shares(sid, 0.0, fill, base, mark.reason, false, false, traded)) return false;
    if (traded == -held) {
      stopped_.push_back(mark);
    } else {
      why = Unfilled::volume;
      place(sid, 0.0, mark, true);
    }
    return report(sid, -held, traded, fill, base, why);
  }

  // The pending orders of earlier dates, tried again at today's trade price.
  [[gnu::noinline]] bool retry_orders(Index d) {
    const double base = equity_now();
    retried_.clear();
    for (const Order& o : orders_) {
      if (o.since >= d) continue;
      retried_.push_back(o);
    }
    for (const Order& o : retried_) {
      const int sid = o.mark.sid;
      const int p = column(sid);
      bool done = false;
      if (capital_) {
        const double held = shares_[static_cast<std::size_t>(sid)];
        const double price = order_price(sid, p);
        if (std::isnan(price)) continue;
        const double q = target_shares(p, o.weight * base, price, held);
        double traded = 0.0;
        if (q != held && desk_.blocked(d, p, side_of(q - held), price) == Unfilled::none &&
            !trade_shares(sid, q, price, base, o.mark.reason, false, true, traded)) {
          return false;
        }
        done = held + traded == q;
      } else {
        const double* found = held_.find(sid);
        const double held = found != nullptr ? *found : 0.0;
        const double price = m_.price(d, p);
        const double target = o.weight * base;
        done = target == held;
        if (!done && desk_.blocked(d, p, side_of(target - held), price) == Unfilled::none) {
          if (!set_position(sid, target, true, true, base, {o.mark.reason, mark_price(sid)}, exec_.slippage,
                            /*may_split=*/false)) {
            return false;
          }
          done = true;
        }
      }
      // A position entered now is marked from today's price on.
      if (!std::isnan(m_.price(d, p))) ref_price_[static_cast<std::size_t>(p)] = m_.price(d, p);
      if (!done) continue;
      drop_order(sid);
      if (o.exit_rule) {
        stopped_.push_back(o.mark);
        cost_[static_cast<std::size_t>(sid)] = 1.0;
        peak_[static_cast<std::size_t>(sid)] = 1.0;
      }
    }
    return true;
  }

  // Interest on the cash and the fee on the short positions held since the
  // previous date's close, over the calendar days between the two dates.
  [[gnu::noinline]] void accrue_carry(Index d) {
    if (carried_on_ < 0) return;
    constexpr double kNanosecondsPerYear = 86'400e9 * 365;
    const double years = static_cast<double>(m_.price_index[d] - m_.price_index[carried_on_]) / kNanosecondsPerYear;
    const double interest = cash_ * exec_.cash_rate * years;
    const double borrow = short_value_ * exec_.borrow_rate * years;
    cash_ = cash_ + interest - borrow;
    host_.record_carry(interest, borrow);
  }

  [[gnu::noinline]] void close_carry(Index d) {
    carried_on_ = d;
    short_value_ = 0.0;
    for (const auto& [sid, value] : held_) {
      if (!(value < 0)) continue;
      const int p = column(sid);
      const double price = m_.price(d, p);
      const double close = m_.close(d, p);
      short_value_ -= std::isnan(price) || std::isnan(close) ? value : value * close / price;
    }
  }

  double value_at_close(Index d) const noexcept {
    double equity = cash_;
    for (const auto& [sid, value] : held_) {
      const int p = column(sid);
      const double price = m_.price(d, p);
      const double close = m_.close(d, p);
      if (std::isnan(price) || std::isnan(close)) {
        equity += value;
      } else {
        equity += value * close / price;
      }
    }
    return equity;
  }

  // A weight row dated before the next trading date becomes current at the
  // end of this date; after the last date every remaining row does.
  void advance_rows(Index d) noexcept {
    const Index last_row = m_.pos_index.size - 1;
    if (d + 1 < m_.price_index.size) {
      const std::int64_t next = m_.price_index[d + 1];
      while (current_row_ < last_row && m_.pos_index[current_row_ + 1] < next) ++current_row_;
    } else if (current_row_ < last_row) {
      current_row_ = last_row;
    }
  }

  const Market m_;
  const Rules rules_;
  std::vector<int> column_of_;
  Host& host_;
  const double sl_, tp_, ts_;

  double cash_ = 1.0;
  HeldPositions held_;
  std::vector<double> cost_;       // per position column, since the last reset
  std::vector<double> peak_;       // largest cost ratio since the last reset
  std::vector<double> ref_price_;  // per price column
  std::vector<char> held_column_;  // per price column: held before the rebalance under way
  std::vector<std::int8_t> mask_;  // rebalance marks per trading date
  std::vector<ExitMark> pending_;  // signalled on the previous close
  std::vector<ExitMark> signals_;  // signalled today
  std::vector<ExitMark> stopped_;  // closed by an exit rule since the last rebalance
  std::vector<HeldPositions::Item> snapshot_;  // held right after the last rebalance
  Index current_row_ = 0;
  Index applied_row_ = -1;
  bool rebalance_due_ = false;
  Index today_ = 0;
  std::vector<Index> rebalance_rows_;
  std::vector<Index> rebalance_weight_rows_;

  std::vector<double> target_;      // the weight row being traded
  std::vector<double> magnitudes_;  // its absolute values, contiguous

  const Execution exec_;
  Desk desk_;
  const bool ruled_;    // any execution rule on
  const bool capital_;  // shares and currency instead of fractions of 1
  std::vector<double> shares_;      // per position column (capital mode)
  std::vector<char> order_flags_;   // per position column: the kind of its pending order, or 0
  std::vector<Order> orders_;       // pending, in the order they were placed
  std::vector<Order> retried_;      // scratch of retry_orders
  Index carried_on_ = -1;           // the date whose close the carry runs from
  double short_value_ = 0.0;        // the short positions at that close
};

}  // namespace quorex::kernel
