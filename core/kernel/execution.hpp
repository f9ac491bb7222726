// The execution rules of a backtest: what of an order the market lets one
// fill on a given date, at what price, and what idle money earns or short
// positions cost. Every rule has an "off" setting, and with all of them off
// the engine runs its plain path and never asks this desk anything.
//
// A rule decides per stock and date from the market's own data: the day's
// move against the previous close (price limits), a tradable flag, the day's
// volume (participation cap, square-root impact). Nothing here touches the
// interpreter.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "kernel/views.hpp"

namespace quorex::kernel {

// Why an order did not fill in full on a date, in the order of the report's labels.
enum class Unfilled : std::int8_t { none = -1, limit_up = 0, limit_down, untradable, volume };

struct Execution {
  double capital = 0.0;         // starting capital in currency; 0: fractional units of 1
  double lot_size = 0.0;        // shares per board lot; 0: any quantity (capital only)
  double min_fee = 0.0;         // smallest commission of one fill, in currency (capital only)
  double price_limit = INFINITY;  // move against the previous close taken as a limit hit
  Matrix<std::uint8_t> tradable;  // dates x price columns; empty: every stock every day
  Matrix<double> volume;          // shares traded, dates x price columns; empty: not given
  double max_participation = INFINITY;  // largest share of a day's volume one stock's trades take
  double slippage = 0.0;                // fraction of the trade price, against the trader
  double impact = 0.0;                  // square-root impact coefficient; 0: off
  bool retry = true;                    // the unfilled part stays pending until the next rebalance
  double cash_rate = 0.0;               // annual, on idle cash
  double borrow_rate = 0.0;             // annual, on the value of short positions

  bool capital_mode() const noexcept { return capital > 0; }
  bool carries() const noexcept { return cash_rate != 0 || borrow_rate != 0; }
  // Any rule that can change what an order fills or what it pays.
  bool active() const noexcept {
    return capital_mode() || std::isfinite(price_limit) || tradable.data != nullptr || volume.data != nullptr ||
           slippage != 0 || impact != 0;
  }
};

// Which way an order trades: a buy adds shares (a new or larger long, a short
// covered), a sell takes them away.
enum class Side : std::int8_t { buy, sell };

// Trading days of impact statistics: the volatility of the daily returns and
// the average volume over this many dates ending on the fill date.
inline constexpr std::ptrdiff_t kImpactWindow = 20;

class Desk {
 public:
  Desk(const Execution& rules, const Matrix<double>& close, std::ptrdiff_t price_columns)
      : rules_(rules), close_(close) {
    if (rules.volume.data != nullptr) {
      used_.assign(static_cast<std::size_t>(price_columns), 0.0);
      used_on_.assign(static_cast<std::size_t>(price_columns), -1);
    }
    if (rules.impact != 0) {
      impact_on_.assign(static_cast<std::size_t>(price_columns), -1);
      impact_.assign(static_cast<std::size_t>(price_columns), 0.0);
    }
  }

  // The reason `side` cannot trade column `p` on date `d` at `price`, or none.
  Unfilled blocked(std::ptrdiff_t d, std::ptrdiff_t p, Side side, double price) const noexcept {
    if (rules_.tradable.data != nullptr && !rules_.tradable(d, p)) return Unfilled::untradable;
    if (rules_.volume.data != nullptr && !(rules_.volume(d, p) > 0)) return Unfilled::volume;
    return limit_hit(d, p, side, price);
  }

  // A touched exit fills unless the whole day sat at the limit against it:
  // a sale when even the high is at or below the lower threshold, a cover
  // when even the low is at or above the upper one.
  Unfilled locked(std::ptrdiff_t d, std::ptrdiff_t p, Side side, double high, double low) const noexcept {
    if (rules_.tradable.data != nullptr && !rules_.tradable(d, p)) return Unfilled::untradable;
    if (rules_.volume.data != nullptr && !(rules_.volume(d, p) > 0)) return Unfilled::volume;
    return limit_hit(d, p, side, side == Side::sell ? high : low);
  }

  // Shares column `p` may still trade on date `d` under the participation
  // cap (infinite without one), in whole lots when lots are set.
  double room(std::ptrdiff_t d, std::ptrdiff_t p) const noexcept {
    if (rules_.volume.data == nullptr || !std::isfinite(rules_.max_participation)) return INFINITY;
    const auto c = static_cast<std::size_t>(p);
    const double used = used_on_[c] == d ? used_[c] : 0.0;
    const double left = rules_.max_participation * rules_.volume(d, p) - used;
    return left > 0 ? whole_lots(left) : 0.0;
  }

  void use(std::ptrdiff_t d, std::ptrdiff_t p, double shares) noexcept {
    if (used_.empty()) return;
    const auto c = static_cast<std::size_t>(p);
    if (used_on_[c] != d) {
      used_on_[c] = d;
      used_[c] = 0.0;
    }
    used_[c] = used_[c] + shares;
  }

  // The fraction of the trade price a fill of `shares` loses: the fixed
  // slippage, or impact x daily volatility x sqrt(shares / average volume).
  double slippage(std::ptrdiff_t d, std::ptrdiff_t p, double shares) noexcept {
    if (rules_.impact == 0) return rules_.slippage;
    if (rules_.volume.data == nullptr || shares == 0) return 0.0;
    return per_root_share(d, p) * std::sqrt(std::fabs(shares));
  }

  // `shares` rounded toward zero to whole lots (unchanged without lots).
  double whole_lots(double shares) const noexcept {
    if (!(rules_.lot_size > 0)) return shares;
    return std::trunc(shares / rules_.lot_size) * rules_.lot_size;
  }

  // The commission of a fill worth `notional`: the ratio, at least the minimum.
  double fee(double fee_ratio, double notional) const noexcept {
    const double fee = fee_ratio * notional;
    return fee < rules_.min_fee ? rules_.min_fee : fee;
  }

  // The close before date `d` with a price, NaN when there is none.
  double previous_close(std::ptrdiff_t d, std::ptrdiff_t p) const noexcept {
    for (std::ptrdiff_t r = d - 1; r >= 0; --r) {
      const double c = close_(r, p);
      if (!std::isnan(c)) return c;
    }
    return NAN;
  }

 private:
  Unfilled limit_hit(std::ptrdiff_t d, std::ptrdiff_t p, Side side, double price) const noexcept {
    if (!std::isfinite(rules_.price_limit)) return Unfilled::none;
    const double move = price / previous_close(d, p) - 1;
    if (side == Side::buy && move >= rules_.price_limit) return Unfilled::limit_up;
    if (side == Side::sell && move <= -rules_.price_limit) return Unfilled::limit_down;
    return Unfilled::none;
  }

  // impact x volatility / sqrt(average volume) of a column on a date: the
  // windows are read once per date, however many fills ask.
  double per_root_share(std::ptrdiff_t d, std::ptrdiff_t p) noexcept {
    const auto c = static_cast<std::size_t>(p);
    if (impact_on_[c] != d) {
      impact_on_[c] = d;
      impact_[c] = window_impact(d, p);
    }
    return impact_[c];
  }

  // The window of one column, summed row by row: the mean of the volumes
  // that are known, and the sample standard deviation of the close-to-close
  // returns between known closes (0 with fewer than two of them).
  struct Window {
    double volume = 0.0;
    int volumes = 0;
    double sum = 0.0;
    double squares = 0.0;
    int returns = 0;
    double last = NAN;

    void add(double v, double c) noexcept {
      if (!std::isnan(v)) {
        volume += v;
        ++volumes;
      }
      if (std::isnan(c)) return;
      if (!std::isnan(last)) {
        const double x = c / last - 1;
        sum += x;
        squares += x * x;
        ++returns;
      }
      last = c;
    }

    // impact x volatility / sqrt(average volume).
    double impact(double coefficient) const noexcept {
      const double adv = volumes ? volume / volumes : 0.0;
      const double variance = returns >= 2 ? (squares - sum * sum / returns) / (returns - 1) : 0.0;
      if (!(adv > 0) || !(variance > 0)) return 0.0;
      return coefficient * std::sqrt(variance / adv);
    }
  };

  static std::ptrdiff_t window_start(std::ptrdiff_t d) noexcept { return d >= kImpactWindow ? d - kImpactWindow + 1 : 0; }

  double window_impact(std::ptrdiff_t d, std::ptrdiff_t p) const noexcept {
    Window window;
    for (std::ptrdiff_t r = window_start(d); r <= d; ++r) window.add(rules_.volume(r, p), close_(r, p));
    return window.impact(rules_.impact);
  }

  const Execution& rules_;
  Matrix<double> close_;
  std::vector<double> used_;              // shares traded today, per price column
  std::vector<std::ptrdiff_t> used_on_;   // the date `used_` counts
  std::vector<double> impact_;            // per_root_share, per price column
  std::vector<std::ptrdiff_t> impact_on_;  // the date `impact_` is of
};

}  // namespace quorex::kernel
