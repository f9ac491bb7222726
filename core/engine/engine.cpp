// quorex.core.engine: the backtest engine as one reentrant call.
//
// `run` takes the arguments of simloop.backtest_, checks them with the same
// messages, and then simulates without the interpreter lock: the engine
// reports to a host that keeps every trade, fill, cost and excursion record
// in native vectors, and the end-of-run weights and actions are computed by
// the same rules simloop uses. Nothing survives the call: the results come
// back as one namespace of NumPy arrays, so any number of threads may run at
// once. `large_moves` is the scan of a price matrix behind the check for
// closes not adjusted for splits, also without the lock.
#include <Python.h>

#include <array>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kernel/end_of_run.hpp"
#include "kernel/engine.hpp"
#include "kernel/price_scans.hpp"
#include "kernel/trade_log.hpp"
#include "shared/arrays.hpp"
#include "shared/backtest_args.hpp"
#include "shared/excursion_errors.hpp"
#include "shared/execution_args.hpp"
#include "shared/module.hpp"
#include "shared/pyref.hpp"

namespace {

using quorex::PyRef;
namespace kernel = quorex::kernel;
namespace ex = quorex::kernel::excursion;
using namespace quorex::binding;

double numpy_inf = INFINITY;  // numpy.inf, read at import
PyObject* namespace_type = nullptr;  // types.SimpleNamespace, held for the life of the process

// What went wrong in a run, kept without the interpreter until it can be raised.
struct Failure {
  enum class Kind { none, excursion, zero_weight_base, pos_index_empty, no_memory } kind = Kind::none;
  ex::Error excursion;

  void raise() const {
    switch (kind) {
      case Kind::none: break;
      case Kind::excursion: set_error(excursion); break;
      case Kind::zero_weight_base: PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero"); break;
      case Kind::pos_index_empty: PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0); break;
      case Kind::no_memory: PyErr_NoMemory(); break;
    }
  }
};

// The parameters of run: the backtest's, then run's own rule, then the
// execution rules'.
constexpr int kKeepLastPrice = kParamCount;
constexpr int kFirstExecutionParam = kKeepLastPrice + 1;
constexpr auto kRunParams = [] {
  std::array<const char*, std::size_t{kFirstExecutionParam} + std::size_t{kExecutionParamCount}> names{};
  for (int i = 0; i < kParamCount; ++i) names[static_cast<std::size_t>(i)] = kBacktestParams[i];
  names[static_cast<std::size_t>(kKeepLastPrice)] = "keep_last_price";
  for (int i = 0; i < kExecutionParamCount; ++i) {
    names[static_cast<std::size_t>(kFirstExecutionParam + i)] = kExecutionParams[i];
  }
  return names;
}();

// Fees, taxes, slippage and carry by the date they were paid on, one slot
// per trading date.
struct DailyCosts {
  std::vector<double> fee;
  std::vector<double> tax;
  std::vector<double> slippage;
  std::vector<double> interest;
  std::vector<double> borrow;
  std::vector<double> cash;  // at each close, with a starting capital (NaN otherwise)
};

// The orders the execution rules did not fill in full on their date, and
// the value of every order and of what was left unfilled.
struct OrderBook {
  std::vector<std::int64_t> row;
  std::vector<std::int64_t> sid;
  std::vector<double> wanted;
  std::vector<double> filled;
  std::vector<double> base;
  std::vector<std::int8_t> reason;
  double ordered_value = 0.0;
  double unfilled_value = 0.0;
};

// The engine's host: every trade and what it paid go to the native log, the
// costs to the day as well; the switches are the run's arguments.
class LogHost final : public kernel::Host {
 public:
  LogHost(ex::TradeLog& log, DailyCosts& daily, OrderBook& orders, const BacktestArgs& a, bool capital,
          bool stop_trading, Failure& failure)
      : log_(log),
        daily_(daily),
        orders_(orders),
        capital_(capital),
        retain_(a.rules.retain_cost_when_rebalance),
        resample_(a.periodically_rebalance),
        stop_(stop_trading),
        failure_(failure) {}

  bool record_date(int date_index) override {
    log_.date(date_index);
    date_ = static_cast<std::size_t>(date_index);
    return true;
  }
  bool record_entry(int sid, double target, double weight_base, int charge_entry, double fill) override {
    if (weight_base == 0) {
      failure_.kind = Failure::Kind::zero_weight_base;
      return false;
    }
    log_.entry(sid, target / weight_base, charge_entry, fill);
    return true;
  }
  bool record_exit(int sid, int charge_exit, kernel::ExitReason reason, double fill) override {
    return check(log_.exit(sid, charge_exit, static_cast<std::int8_t>(reason), fill));
  }
  bool record_costs(int sid, kernel::Costs costs, bool closed) override {
    log_.costs(sid, costs.fee, costs.tax, costs.slippage, closed);
    daily_.fee[date_] = daily_.fee[date_] + costs.fee;
    daily_.tax[date_] = daily_.tax[date_] + costs.tax;
    daily_.slippage[date_] = daily_.slippage[date_] + costs.slippage;
    return true;
  }
  // Values are shares x price with a capital, and already values without.
  bool record_order(const kernel::OrderReport& order) override {
    const double scale = capital_ ? order.price : 1.0;
    const double wanted = std::fabs(order.wanted * scale);
    if (!std::isnan(wanted)) orders_.ordered_value += wanted;
    if (order.reason == kernel::Unfilled::none) return true;
    const double left = std::fabs((order.wanted - order.filled) * scale);
    if (!std::isnan(left)) orders_.unfilled_value += left;
    orders_.row.push_back(static_cast<std::int64_t>(date_));
    orders_.sid.push_back(order.sid);
    orders_.wanted.push_back(order.wanted);
    orders_.filled.push_back(order.filled);
    orders_.base.push_back(order.base);
    orders_.reason.push_back(static_cast<std::int8_t>(order.reason));
    return true;
  }
  void record_shares(int sid, double shares) override { log_.shares(sid, shares); }
  void record_carry(double interest, double borrow) override {
    daily_.interest[date_] = interest;
    daily_.borrow[date_] = borrow;
  }
  void record_close(double cash) override { daily_.cash[date_] = cash; }
  int retain_cost_setting() override { return retain_; }
  int resample_setting() override { return resample_; }
  int stop_trading_next_period() override { return stop_; }

  bool check(const ex::Error& e) {
    if (!e) return true;
    failure_.kind = Failure::Kind::excursion;
    failure_.excursion = e;
    return false;
  }

 private:
  ex::TradeLog& log_;
  DailyCosts& daily_;
  OrderBook& orders_;
  bool capital_;
  std::size_t date_ = 0;
  bool retain_;
  bool resample_;
  bool stop_;
  Failure& failure_;
};

// Actions as one code per position column (-1: none).
class ActionCodes {
 public:
  ActionCodes(std::size_t columns, const kernel::WeightList& next, bool stop_trading)
      : codes_(columns, -1), next_(columns, 0), stop_(stop_trading) {
    for (const auto& [sid, v] : next) next_[static_cast<std::size_t>(sid)] = v != 0;
  }
  int stop_trading() const noexcept { return stop_; }
  int reentered(int sid) const noexcept { return next_[static_cast<std::size_t>(sid)]; }
  int labelled(int sid) const noexcept { return codes_[static_cast<std::size_t>(sid)] >= 0; }
  bool set(int sid, kernel::Action action) noexcept {
    codes_[static_cast<std::size_t>(sid)] = static_cast<std::int8_t>(action);
    return true;
  }
  std::vector<std::int8_t>& codes() noexcept { return codes_; }

 private:
  std::vector<std::int8_t> codes_;
  std::vector<char> next_;
  bool stop_;
};

// Everything a run produces, in native memory.
struct Outcome {
  std::vector<double> creturn;
  DailyCosts daily;
  OrderBook orders;
  ex::TradeColumns trades;
  std::vector<std::int64_t> entry_signal_row;
  std::vector<std::int64_t> exit_signal_row;
  std::vector<std::int64_t> rebalance_rows;
  std::vector<std::int64_t> rebalance_weight_rows;
  kernel::WeightList weights;
  kernel::WeightList next_weights;
  std::vector<std::int8_t> actions;
  std::int64_t weight_row = -1;
  std::int64_t next_weight_row = 0;
  bool rebalance_due = false;
};

ex::MatrixView view_of(const quorex::Matrix<double>& m) {
  return {m.data, m.rows, m.cols, m.row_stride, m.col_stride, true};
}

// Signal rows: the close before the entry; for an exit the breaching close
// or the rebalance's signal date (the date before), or the exit date itself
// when a touched level closed it during the day.
void signal_rows(Outcome& out, bool touched_exit) {
  const ex::TradeColumns& t = out.trades;
  const auto rebalance = static_cast<std::int8_t>(kernel::ExitReason::rebalance);
  out.entry_signal_row.resize(t.size());
  out.exit_signal_row.resize(t.size());
  for (std::size_t k = 0; k < t.size(); ++k) {
    out.entry_signal_row[k] = t.entry_row[k] - 1;
    const bool intraday = touched_exit && t.exit_reason[k] != rebalance;
    out.exit_signal_row[k] = t.exit_row[k] < 0 ? -1 : intraday ? t.exit_row[k] : t.exit_row[k] - 1;
  }
}

// The simulation proper; runs without the interpreter lock.
void simulate(const BacktestArgs& a, const kernel::Execution& execution, const std::vector<int>& column_of,
              bool stop_trading, Outcome& out, Failure& failure) {
  const kernel::Market& m = a.market;
  ex::TradeLog log(view_of(m.price), view_of(m.close), column_of, a.rules.fee_ratio, a.rules.tax_ratio, a.window,
                   a.window_step);
  const auto dates = static_cast<std::size_t>(m.price_index.size);
  out.creturn.resize(dates);
  out.daily.fee.assign(dates, 0.0);
  out.daily.tax.assign(dates, 0.0);
  for (auto* daily : {&out.daily.slippage, &out.daily.interest, &out.daily.borrow}) daily->assign(dates, 0.0);
  out.daily.cash.assign(dates, execution.capital_mode() ? execution.capital : NAN);
  LogHost host(log, out.daily, out.orders, a, execution.capital_mode(), stop_trading, failure);
  kernel::Engine run(m, a.rules, column_of, host, execution);
  switch (run.run(out.creturn.data())) {
    case kernel::Status::ok: break;
    case kernel::Status::aborted: return;
    case kernel::Status::pos_index_empty: failure.kind = Failure::Kind::pos_index_empty; return;
  }
  for (const auto& [sid, value] : run.held()) {
    if (value == 0) continue;  // NaN compares unequal, so it is still held
    if (!host.check(log.still_open(sid, static_cast<std::int8_t>(kernel::ExitReason::open), run.mark_price(sid)))) {
      return;
    }
  }
  out.trades = std::move(log.trades());
  out.rebalance_rows.assign(run.rebalance_rows().begin(), run.rebalance_rows().end());
  out.rebalance_weight_rows.assign(run.rebalance_weight_rows().begin(), run.rebalance_weight_rows().end());
  out.weights = kernel::last_weights(run, m.weights);
  kernel::next_weights(run, m.weights, [stop_trading] { return int{stop_trading}; }, out.next_weights);
  kernel::normalize(out.weights, a.rules.position_limit);
  kernel::normalize(out.next_weights, a.rules.position_limit);
  ActionCodes actions(static_cast<std::size_t>(m.weights.cols), out.next_weights, stop_trading);
  kernel::label_actions(run, m, actions);
  out.actions = std::move(actions.codes());
  out.weight_row = run.applied_row();
  out.next_weight_row = run.current_row();
  out.rebalance_due = run.rebalance_due();
  signal_rows(out, a.rules.touched_exit);
}

// ---------------------------------------------------------------------------
// The result namespace

bool put(PyObject* fields, const char* name, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(fields, name, owned.get()) == 0;
}

template <class T>
bool put_array(PyObject* fields, const char* name, std::vector<T>& values, int type_num) {
  return put(fields, name, quorex::array_from_vector(std::move(values), type_num));
}

bool put_weights(PyObject* fields, const char* sids_name, const char* values_name, const kernel::WeightList& list) {
  std::vector<std::int64_t> sids;
  std::vector<double> values;
  sids.reserve(list.size());
  values.reserve(list.size());
  for (const auto& [sid, v] : list) {
    sids.push_back(sid);
    values.push_back(v);
  }
  return put_array(fields, sids_name, sids, NPY_INT64) && put_array(fields, values_name, values, NPY_DOUBLE);
}

PyObject* result(Outcome& out) {
  PyRef fields = PyRef::steal(PyDict_New());
  if (!fields) return nullptr;
  PyObject* f = fields.get();
  ex::TradeColumns& t = out.trades;
  const npy_intp record_dims[2] = {static_cast<npy_intp>(t.size()), static_cast<npy_intp>(t.record_length)};
  const bool ok =
      put_array(f, "creturn", out.creturn, NPY_DOUBLE) && put_array(f, "trade_sid", t.sid, NPY_INT64) &&
      put_array(f, "trade_entry_row", t.entry_row, NPY_INT64) &&
      put_array(f, "trade_exit_row", t.exit_row, NPY_INT64) &&
      put_array(f, "trade_entry_price", t.entry_price, NPY_DOUBLE) &&
      put_array(f, "trade_exit_price", t.exit_price, NPY_DOUBLE) &&
      put_array(f, "trade_position", t.position, NPY_DOUBLE) &&
      put_array(f, "trade_exit_reason", t.exit_reason, NPY_INT8) &&
      put_array(f, "trade_entry_signal_row", out.entry_signal_row, NPY_INT64) &&
      put_array(f, "trade_exit_signal_row", out.exit_signal_row, NPY_INT64) &&
      put_array(f, "trade_entry_charged", t.entry_charged, NPY_BOOL) &&
      put_array(f, "trade_exit_charged", t.exit_charged, NPY_BOOL) &&
      put_array(f, "trade_fee", t.fee, NPY_DOUBLE) && put_array(f, "trade_tax", t.tax, NPY_DOUBLE) &&
      put_array(f, "trade_holding", t.holding, NPY_INT64) &&
      put_array(f, "daily_fee", out.daily.fee, NPY_DOUBLE) && put_array(f, "daily_tax", out.daily.tax, NPY_DOUBLE) &&
      put_array(f, "trade_slippage", t.slippage, NPY_DOUBLE) && put_array(f, "trade_shares", t.shares, NPY_DOUBLE) &&
      put_array(f, "daily_slippage", out.daily.slippage, NPY_DOUBLE) &&
      put_array(f, "daily_interest", out.daily.interest, NPY_DOUBLE) &&
      put_array(f, "daily_borrow", out.daily.borrow, NPY_DOUBLE) && put_array(f, "daily_cash", out.daily.cash, NPY_DOUBLE) &&
      put_array(f, "unfilled_row", out.orders.row, NPY_INT64) &&
      put_array(f, "unfilled_sid", out.orders.sid, NPY_INT64) &&
      put_array(f, "unfilled_wanted", out.orders.wanted, NPY_DOUBLE) &&
      put_array(f, "unfilled_filled", out.orders.filled, NPY_DOUBLE) &&
      put_array(f, "unfilled_base", out.orders.base, NPY_DOUBLE) &&
      put_array(f, "unfilled_reason", out.orders.reason, NPY_INT8) &&
      put(f, "ordered_value", PyFloat_FromDouble(out.orders.ordered_value)) &&
      put(f, "unfilled_value", PyFloat_FromDouble(out.orders.unfilled_value)) &&
      put(f, "excursions", quorex::array_from_vector(std::move(t.records), NPY_DOUBLE, 2, record_dims)) &&
      put_array(f, "rebalance_rows", out.rebalance_rows, NPY_INT64) &&
      put_array(f, "rebalance_weight_rows", out.rebalance_weight_rows, NPY_INT64) &&
      put_weights(f, "weight_sids", "weight_values", out.weights) &&
      put_weights(f, "next_weight_sids", "next_weight_values", out.next_weights) &&
      put_array(f, "actions", out.actions, NPY_INT8) && put(f, "weight_row", PyLong_FromLongLong(out.weight_row)) &&
      put(f, "next_weight_row", PyLong_FromLongLong(out.next_weight_row)) &&
      put(f, "rebalance_due", PyBool_FromLong(out.rebalance_due));
  if (!ok) return nullptr;
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!no_args) return nullptr;
  return PyObject_Call(namespace_type, no_args.get(), f);
}

// ---------------------------------------------------------------------------
// run

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BacktestArgs a;
  PyObject* objects[kRunParams.size()] = {};
  kernel::Execution execution;
  if (!quorex::parse_args({"run", kRunParams, 11}, args, nargs, kwnames, objects)) return nullptr;
  std::copy(objects, objects + kParamCount, a.objects);
  // keep_last_price is on unless told: the contract binding has the rule off.
  if (!convert_backtest(numpy_inf, a) || !to_bool(objects[kKeepLastPrice], true, a.rules.keep_last_price) ||
      !check_inputs(a) || !convert_execution(objects + kFirstExecutionParam, a.market.price, execution)) {
    return nullptr;
  }
  std::vector<int> column_of;
  if (!map_columns(a.price_columns, a.pos_columns, column_of) || !check_unpriced_weights(a, column_of)) {
    return nullptr;
  }
  // Rows 0 of the weights and of the prices size the per-column state.
  if (a.market.weights.rows == 0 || a.market.price.rows == 0) {
    quorex::raise_index_error(0, 0, 0);
    return nullptr;
  }
  const int stop_trading = PyObject_IsTrue(a.stop_trading);
  if (stop_trading < 0) return nullptr;
  column_of.resize(static_cast<std::size_t>(a.market.weights.cols), -1);

  // The arrays stay alive for the call: the caller's argument references
  // hold them, and the views below read nothing else.
  Outcome out;
  Failure failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    simulate(a, execution, column_of, stop_trading != 0, out, failure);
  } catch (const std::bad_alloc&) {
    failure.kind = Failure::Kind::no_memory;
  } catch (const std::length_error&) {
    failure.kind = Failure::Kind::no_memory;
  }
  Py_END_ALLOW_THREADS
  if (failure.kind != Failure::Kind::none) {
    failure.raise();
    return nullptr;
  }
  return result(out);
}

PyDoc_STRVAR(
    run_doc,
    "run(" QUOREX_BACKTEST_PARAMETERS_TEXT
    ", keep_last_price=True, capital=0.0, lot_size=0.0, min_fee=0.0, price_limit=inf, tradable=None, "
    "volume=None, max_participation=inf, slippage=0.0, impact=0.0, retry_unfilled=True, cash_rate=0.0, "
    "borrow_rate=0.0)\n--\n\n"
    "Simulate the portfolio as simloop.backtest_ does and return every result\n"
    "at once, as a SimpleNamespace of NumPy arrays; no module state is read or\n"
    "written and the interpreter lock is released while it runs.\n"
    "keep_last_price: a rebalance on a day a held stock has no price keeps its\n"
    "last price as the reference of its next price (and as the entry fill of\n"
    "the trade that continues it); False gives backtest_'s results bit for bit.\n"
    "\n"
    "The execution rules (all off by default, and then the run is simloop's):\n"
    "capital: starting capital in currency (0: fractional units of 1); with it\n"
    "positions are shares and every cost is in currency. lot_size: shares per\n"
    "board lot (positions rounded toward zero). min_fee: smallest commission of\n"
    "a fill. price_limit: a move of the trade price against the previous close\n"
    "at or beyond which buys (up) or sells (down) do not fill. tradable: bool\n"
    "dates x price columns (False: no trade). volume: shares traded, dates x\n"
    "price columns (NaN or 0: no trade); max_participation: the largest share\n"
    "of it one stock's fills take in a day. slippage: a fraction of the trade\n"
    "price lost on every fill; impact: the square-root model's coefficient\n"
    "instead (x 20-day volatility x sqrt(shares / 20-day average volume)).\n"
    "retry_unfilled: the unfilled part of an order is retried at later trade\n"
    "dates until the next rebalance (exit orders always are). cash_rate,\n"
    "borrow_rate: annual rates accrued over calendar days (365 a year) on the\n"
    "cash and on the short positions held at the previous close.\n"
    "Their results: trade_slippage, trade_shares (the most shares a record\n"
    "held; NaN without capital), daily_slippage, daily_interest, daily_borrow,\n"
    "daily_cash (the cash at each close, with capital; NaN without),\n"
    "unfilled_* (one item per order not filled in full on its date: row,\n"
    "position column, signed shares (values without capital) wanted and\n"
    "filled, the equity it was sized from, reason code (see UNFILLED_REASONS)),\n"
    "ordered_value and unfilled_value (the value of all orders on their dates,\n"
    "and of what they left unfilled).\n"
    "\n"
    "creturn: the daily equity. trade_*: one item per trade (position column,\n"
    "entry and exit rows (-1 while open), entry and exit fill prices, position\n"
    "value at entry, exit reason code (see EXIT_REASONS), signal rows, whether\n"
    "entry and exit paid costs). excursions: the excursion records, trades x\n"
    "record length.\n"
    "trade_fee, trade_tax: the fees and taxes each trade paid, in units of the\n"
    "starting capital like creturn: those of its entry, of its exit, and of a\n"
    "resize at a rebalance, which go to the trade that starts there (without\n"
    "periodically_rebalance, to the trade that stays open). Summed, they are\n"
    "what the equity lost to costs. trade_holding: the holding each trade\n"
    "belongs to, a new one at every charged entry, kept across a rebalance\n"
    "that split the trade without changing its side; numbered 0, 1, ... as the\n"
    "holdings opened (by date, then column). daily_fee, daily_tax: the costs\n"
    "paid on each date (one item per price_index date).\n"
    "rebalance_rows: rows on which a weight row was traded;\n"
    "rebalance_weight_rows: the weight row traded on each.\n"
    "weight_sids/weight_values, next_weight_sids/next_weight_values: the\n"
    "normalised weights of the last rebalance and of the newest row.\n"
    "actions: an action code per position column (see ACTIONS; -1 for none).\n"
    "weight_row, next_weight_row, rebalance_due: the weight rows applied and\n"
    "current, and whether a rebalance is due on the next trading date.");

// ---------------------------------------------------------------------------
// price scans

// Opens the price matrix argument (a float64 ndarray of two dimensions).
bool open_prices(PyObject* obj, kernel::Matrix<double>& prices) {
  if (!PyArray_Check(obj)) {  // None too: there is no matrix to scan
    PyErr_Format(PyExc_TypeError, "Argument 'prices' has incorrect type (expected numpy.ndarray, got %.200s)",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  return quorex::open_matrix(obj, prices);
}

// Runs `scan` without the interpreter lock; false with MemoryError set when it ran out of memory.
// The caller's reference keeps the array alive meanwhile.
template <class Scan>
bool scan_unlocked(Scan&& scan) {
  bool no_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    scan();
  } catch (const std::bad_alloc&) {
    no_memory = true;
  } catch (const std::length_error&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (no_memory) PyErr_NoMemory();
  return !no_memory;
}

constexpr std::array<const char*, 2> kLargeMovesParams{"prices", "min_jump"};

PyObject* large_moves(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* objects[kLargeMovesParams.size()] = {};
  kernel::Matrix<double> prices;
  if (!quorex::parse_args({"large_moves", kLargeMovesParams, 2}, args, nargs, kwnames, objects) ||
      !open_prices(objects[0], prices)) {
    return nullptr;
  }
  const double min_jump = PyFloat_AsDouble(objects[1]);
  if (min_jump == -1.0 && PyErr_Occurred()) return nullptr;
  if (!(min_jump > 1.0) || min_jump == numpy_inf) {
    PyErr_Format(PyExc_ValueError, "min_jump must be a finite number above 1, got %R", objects[1]);
    return nullptr;
  }
  kernel::PriceMoves moves;
  if (!scan_unlocked([&] { kernel::find_large_moves(prices, min_jump, moves); })) return nullptr;
  PyRef rows = PyRef::steal(quorex::array_from_vector(std::move(moves.rows), NPY_INT64));
  if (!rows) return nullptr;
  PyRef cols = PyRef::steal(quorex::array_from_vector(std::move(moves.cols), NPY_INT64));
  if (!cols) return nullptr;
  PyRef previous = PyRef::steal(quorex::array_from_vector(std::move(moves.previous), NPY_INT64));
  if (!previous) return nullptr;
  return PyTuple_Pack(3, rows.get(), cols.get(), previous.get());
}

PyDoc_STRVAR(
    large_moves_doc,
    "large_moves(prices, min_jump)\n--\n\n"
    "Every price of a float64 matrix (dates x symbols, any layout) that is at\n"
    "least min_jump times the last price of its column before it, or at most\n"
    "its inverse; across missing prices (NaN) the move is measured from the\n"
    "last price before the gap. Returns int64 arrays (rows, cols, previous):\n"
    "the price's row and column and the row of the price it moved from, in\n"
    "memory order. The interpreter lock is released while it scans.");

PyMethodDef methods[] = {
    {"run", quorex::as_cfunction(run), METH_FASTCALL | METH_KEYWORDS, run_doc},
    {"large_moves", quorex::as_cfunction(large_moves), METH_FASTCALL | METH_KEYWORDS, large_moves_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyRef labels_tuple(std::initializer_list<const char*> labels) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(labels.size())));
  if (!tuple) return {};
  Py_ssize_t i = 0;
  for (const char* text : labels) {
    PyObject* item = PyUnicode_InternFromString(text);
    if (!item) return {};
    PyTuple_SET_ITEM(tuple.get(), i++, item);
  }
  return tuple;
}

int exec_module(PyObject* module) {
  if (!quorex::import_numpy()) return -1;
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return -1;
  if (!read_numpy_inf(numpy.get(), numpy_inf)) return -1;
  if (!quorex::add_attr(module, "org_np", numpy)) return -1;
  PyRef types = PyRef::steal(PyImport_ImportModule("types"));
  if (!types) return -1;
  namespace_type = PyObject_GetAttrString(types.get(), "SimpleNamespace");
  if (!namespace_type) return -1;
  const auto& a = kernel::kActionLabels;
  if (!quorex::add_attr(module, "UNFILLED_REASONS", labels_tuple({"limit_up", "limit_down", "untradable", "volume"}))) {
    return -1;
  }
  return quorex::add_attr(module, "EXIT_REASONS",
                          labels_tuple({"rebalance", "stop_loss", "take_profit", "trail_stop", "open"})) &&
                 quorex::add_attr(module, "ACTIONS",
                                  labels_tuple({a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]}))
             ? 0
             : -1;
}

PyModuleDef module_def = quorex::module_definition<exec_module>("engine", methods);

}  // namespace

PyMODINIT_FUNC PyInit_engine() { return PyModuleDef_Init(&module_def); }
