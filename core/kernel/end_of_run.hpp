// What a finished run leaves for the next trading date: the weights of the
// last rebalance, the weights of the newest row, and an action per stock.
//
// Plain C++ over the engine's end state. The bindings differ only in where
// the results go (Python dictionaries or native arrays) and in how the
// `stop_trading_next_period` switch is read, so both are passed in.
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernel/engine.hpp"

namespace quorex::kernel {

using WeightList = std::vector<std::pair<int, double>>;

// The actions, in the order of their codes.
enum class Action : std::int8_t { enter, exit, hold, tp, sl, tp_enter, sl_enter, tp_stopped, sl_stopped };
inline constexpr const char* kActionLabels[] = {"enter", "exit", "hold", "tp", "sl",
                                                "tp_enter", "sl_enter", "tp_", "sl_"};
inline const char* label(Action action) noexcept { return kActionLabels[static_cast<int>(action)]; }

// Weights of the last rebalance, divided by their sum when it exceeds 1; a
// column sold since then by a pending exit counts in the sum but reports 0
// (one closed by a touched exit is still held, at 0, and keeps its weight).
inline WeightList last_weights(const Engine& run, const Matrix<double>& w) {
  WeightList last;
  double sum = 0.0;
  for (const auto& [sid, value] : run.snapshot()) {
    const double v = w(run.applied_row(), sid);
    last.emplace_back(sid, run.held().find(sid) ? v : 0.0);
    sum += v;
  }
  const double divisor = sum > 1 ? sum : 1.0;
  for (auto& item : last) item.second = item.second / divisor;
  return last;
}

// The newest row's non-zero weights, divided by its absolute sum when that
// exceeds 1; with stop_trading_next_period, stocks on their way out (or
// just out) are left out. `stop_trading()` is the switch's truth, asked once
// per column (-1 on error).
template <class StopTrading>
bool next_weights(const Engine& run, const Matrix<double>& w, StopTrading&& stop_trading, WeightList& out) {
  std::vector<char> exiting(static_cast<std::size_t>(w.cols), 0);
  for (const auto* list : {&run.stopped_out(), &run.pending_exits()}) {
    for (const ExitMark s : *list) exiting[static_cast<std::size_t>(s.sid)] = 1;
  }
  out.clear();
  double sum = 0.0;
  for (Index sid = 0; sid < w.cols; ++sid) {
    const double v = w(run.current_row(), sid);
    sum += std::fabs(v);
    const int stop = stop_trading();
    if (stop < 0) return false;
    if (stop && exiting[static_cast<std::size_t>(sid)]) continue;
    if (v != 0) out.emplace_back(static_cast<int>(sid), v);
  }
  const double divisor = sum > 1 ? sum : 1.0;
  for (auto& item : out) item.second = item.second / divisor;
  return true;
}

// Scales the weights down to an absolute sum of 1 when they exceed it, then
// clamps each to [-position_limit, position_limit], summing in list order.
inline void normalize(WeightList& weights, double position_limit) noexcept {
  double total = 0.0;
  for (const auto& item : weights) total = total + std::fabs(item.second);
  if (total > 1) {
    const double inverse = 1 / total;
    for (auto& item : weights) item.second = item.second * inverse;
  }
  const double negative_limit = -position_limit;
  for (auto& item : weights) {
    if (item.second > position_limit) {
      item.second = position_limit;
    } else if (item.second < negative_limit) {
      item.second = negative_limit;
    }
  }
}

// What each stock does next: the due rebalance's enter/exit/hold, then the
// pending exits, then the stocks stopped out since the last rebalance; later
// labels overwrite earlier ones. `Sink` offers:
//   int stop_trading();        the switch's truth (-1 on error)
//   int reentered(int sid);    1 when the normalised next weights hold sid at non-zero (-1 on error)
//   int labelled(int sid);     1 when sid already has an action (-1 on error)
//   bool set(int sid, Action); records (or overwrites) the action
template <class Sink>
bool label_actions(const Engine& run, const Market& m, Sink& sink) {
  const Matrix<double>& w = m.weights;
  const Index row = run.current_row();
  if (run.rebalance_due()) {
    for (Index sid = 0; sid < w.cols; ++sid) {
      const double v = w(row, sid);
      const double* h = run.held().find(static_cast<int>(sid));
      const double cur = h ? *h : 0.0;
      if (cur == 0) {
        if (v != 0 && !sink.set(static_cast<int>(sid), Action::enter)) return false;
      } else if (!sink.set(static_cast<int>(sid), v == 0 ? Action::exit : Action::hold)) {
        return false;
      }
    }
  }

  const std::int64_t last_date = m.price_index[m.price_index.size - 1];
  const bool newest_row_is_older = last_date > m.pos_index[row];
  for (const ExitMark s : run.pending_exits()) {
    const int stop = sink.stop_trading();
    if (stop < 0) return false;
    if (stop || newest_row_is_older) {
      if (!sink.set(s.sid, s.upper ? Action::tp : Action::sl)) return false;
      continue;
    }
    const int reentered = sink.reentered(s.sid);
    if (reentered < 0) return false;
    if (reentered && !sink.set(s.sid, s.upper ? Action::tp_enter : Action::sl_enter)) return false;
  }

  for (const ExitMark s : run.stopped_out()) {
    const int stop = sink.stop_trading();
    if (stop < 0) return false;
    int labelled = 0;
    if (!stop) {
      labelled = sink.labelled(s.sid);
      if (labelled < 0) return false;
    }
    if ((stop || !labelled) && !sink.set(s.sid, s.upper ? Action::tp_stopped : Action::sl_stopped)) return false;
  }
  return true;
}

}  // namespace quorex::kernel
