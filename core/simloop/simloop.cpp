// quorex.core.simloop: the Python face of the backtest engine.
//
// This file owns everything that touches the interpreter: argument parsing
// and checks, tradearc's native table, the host that forwards the engine's
// trade records to tradearc, and the result objects. The simulation itself
// is the kernel's (kernel/engine.hpp).
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernel/end_of_run.hpp"
#include "kernel/engine.hpp"
#include "shared/args.hpp"
#include "shared/arrays.hpp"
#include "shared/backtest_args.hpp"
#include "shared/module.hpp"
#include "shared/pyref.hpp"
#include "tradearc/tradearc_import.hpp"

// Element type of object arrays whose items may be anything.
namespace quorex {
struct AnyObject {};
template <>
struct ElementTraits<AnyObject> {
  static constexpr const char* name = "Python object";
  static bool accepts(PyArray_Descr* d) { return d->type_num == NPY_OBJECT; }
};
}  // namespace quorex

namespace {

using quorex::PyRef;
namespace kernel = quorex::kernel;
using namespace quorex::binding;

quorex::tradearc_api::Functions tradearc;  // bound at import
double numpy_inf = INFINITY;               // numpy.inf, read at import

// Interned names, created at import and kept for the life of the process.
struct Names {
  PyObject* retain_cost;
  PyObject* resample;
  PyObject* stock_operations;
  PyObject* normalize_weight;
  PyObject* tradearc;
  PyObject* datetime;
  PyObject* trades;
  PyObject* trade_positions;
  PyObject* items;
  PyObject* actions;
  PyObject* weights;
  PyObject* next_weights;
  PyObject* weight_time;
  PyObject* next_weight_time;
} names;

bool intern(PyObject*& slot, const char* text) {
  slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

// A module-level name as the module's own code sees it: its globals, then
// the builtins. New reference, or null with NameError.
PyObject* module_global(PyObject* module, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
  if (value == nullptr && !PyErr_Occurred()) {
    PyRef builtins = PyRef::steal(PyEval_GetFrameBuiltins());
    if (!builtins) return nullptr;
    value = PyDict_GetItemWithError(builtins.get(), name);
    if (value == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  return Py_XNewRef(value);
}

// Truth value of a module-level name (-1 with the error set).
int module_flag(PyObject* module, PyObject* name) {
  PyRef value = PyRef::steal(module_global(module, name));
  return value ? PyObject_IsTrue(value.get()) : -1;
}

// ---------------------------------------------------------------------------
// The engine's host: tradearc's recorder plus the switches read at use.

class TradeRecorder final : public kernel::Host {
 public:
  TradeRecorder(PyObject* module, PyObject* stop_trading_next_period)
      : module_(module), stop_trading_(stop_trading_next_period) {}

  bool record_date(int date_index) override {
    tradearc.record_date(date_index);
    return !PyErr_Occurred();
  }
  bool record_entry(int sid, double target, double weight_base, int charge_entry, double /*fill*/) override {
    // The weight base is a Python number: dividing by zero raises.
    if (weight_base == 0) {
      PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
      return false;
    }
    tradearc.record_entry(sid, target / weight_base, charge_entry);
    return !PyErr_Occurred();
  }
  bool record_exit(int sid, int charge_exit, kernel::ExitReason, double /*fill*/) override {
    tradearc.record_exit(sid, charge_exit);
    return !PyErr_Occurred();
  }
  // tradearc keeps no costs: the equity already has them.
  bool record_costs(int, kernel::Costs, bool) override { return true; }
  int retain_cost_setting() override { return module_flag(module_, names.retain_cost); }
  int resample_setting() override { return module_flag(module_, names.resample); }
  int stop_trading_next_period() override { return PyObject_IsTrue(stop_trading_); }

 private:
  PyObject* module_;
  PyObject* stop_trading_;
};

bool publish_settings(PyObject* module, const BacktestArgs& a) {
  PyObject* dict = PyModule_GetDict(module);
  return PyDict_SetItem(dict, names.retain_cost, a.rules.retain_cost_when_rebalance ? Py_True : Py_False) == 0 &&
         PyDict_SetItem(dict, names.resample, a.periodically_rebalance ? Py_True : Py_False) == 0;
}

// ---------------------------------------------------------------------------
// stock_operations

bool set_int_item(PyObject* dict, Py_ssize_t key, PyObject* value) {
  PyRef k = PyRef::steal(PyLong_FromSsize_t(key));
  return k && value && PyDict_SetItem(dict, k.get(), value) == 0;
}

bool fill_weights(PyObject* dict, const kernel::WeightList& weights) {
  for (const auto& [sid, v] : weights) {
    PyRef value = PyRef::steal(PyFloat_FromDouble(v));
    if (!set_int_item(dict, sid, value.get())) return false;
  }
  return true;
}

// Item `key` of an arbitrary mapping: 1 present, 0 absent, -1 error.
int mapping_has(PyObject* mapping, int key) {
  PyRef k = PyRef::steal(PyLong_FromLong(key));
  return k ? PySequence_Contains(mapping, k.get()) : -1;
}

// 1 when `mapping[key]` exists and differs from 0, 0 otherwise, -1 on error.
int has_nonzero(PyObject* mapping, int key) {
  PyRef k = PyRef::steal(PyLong_FromLong(key));
  if (!k) return -1;
  const int has = PySequence_Contains(mapping, k.get());
  if (has <= 0) return has;
  PyRef value = PyRef::steal(PyObject_GetItem(mapping, k.get()));
  PyRef zero = PyRef::steal(PyLong_FromLong(0));
  if (!value || !zero) return -1;
  return PyObject_RichCompareBool(value.get(), zero.get(), Py_NE);
}

// Actions go into a dict keyed by sid; the next weights are whatever
// normalize_weight returned.
class ActionDict {
 public:
  ActionDict(PyObject* actions, PyObject* next_weights, PyObject* stop_trading)
      : actions_(actions), next_weights_(next_weights), stop_trading_(stop_trading) {}
  int stop_trading() { return PyObject_IsTrue(stop_trading_); }
  int reentered(int sid) { return has_nonzero(next_weights_, sid); }
  int labelled(int sid) { return mapping_has(actions_, sid); }
  bool set(int sid, kernel::Action action) {
    PyRef v = PyRef::steal(PyUnicode_InternFromString(kernel::label(action)));
    return set_int_item(actions_, sid, v.get());
  }

 private:
  PyObject* actions_;
  PyObject* next_weights_;
  PyObject* stop_trading_;
};

// The end-of-run summary, published only when complete.
bool publish_stock_operations(PyObject* module, const BacktestArgs& a, const kernel::Engine& run) {
  PyRef actions = PyRef::steal(PyDict_New());
  PyRef weights = PyRef::steal(PyDict_New());
  PyRef next_weights = PyRef::steal(PyDict_New());
  PyRef ops = PyRef::steal(PyDict_New());
  if (!actions || !weights || !next_weights || !ops) return false;
  if (PyDict_SetItem(ops.get(), names.actions, actions.get()) < 0 ||
      PyDict_SetItem(ops.get(), names.weights, weights.get()) < 0 ||
      PyDict_SetItem(ops.get(), names.next_weights, next_weights.get()) < 0 ||
      !fill_weights(weights.get(), kernel::last_weights(run, a.market.weights))) {
    return false;
  }
  kernel::WeightList upcoming;
  if (!kernel::next_weights(run, a.market.weights, [&] { return PyObject_IsTrue(a.stop_trading); }, upcoming) ||
      !fill_weights(next_weights.get(), upcoming)) {
    return false;
  }
  PyRef weight_time = PyRef::steal(PyLong_FromSsize_t(run.applied_row()));
  PyRef next_weight_time = PyRef::steal(PyLong_FromSsize_t(run.current_row()));
  if (!weight_time || !next_weight_time || PyDict_SetItem(ops.get(), names.weight_time, weight_time.get()) < 0 ||
      PyDict_SetItem(ops.get(), names.next_weight_time, next_weight_time.get()) < 0) {
    return false;
  }

  // normalize_weight is looked up by name, like any module-level helper.
  PyRef normalize = PyRef::steal(module_global(module, names.normalize_weight));
  PyRef limit = PyRef::steal(PyFloat_FromDouble(a.rules.position_limit));
  if (!normalize || !limit) return false;
  auto normalized = [&](PyObject* dict) {
    return PyRef::steal(PyObject_CallFunctionObjArgs(normalize.get(), dict, limit.get(), nullptr));
  };
  PyRef weights_out = normalized(weights.get());
  if (!weights_out || PyDict_SetItem(ops.get(), names.weights, weights_out.get()) < 0) return false;
  PyRef next_out = normalized(next_weights.get());
  if (!next_out || PyDict_SetItem(ops.get(), names.next_weights, next_out.get()) < 0) return false;

  ActionDict sink(actions.get(), next_out.get(), a.stop_trading);
  if (!kernel::label_actions(run, a.market, sink)) return false;
  return PyDict_SetItem(PyModule_GetDict(module), names.stock_operations, ops.get()) == 0;
}

// ---------------------------------------------------------------------------
// backtest_

PyObject* backtest(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BacktestArgs a;
  if (!parse_backtest(backtest_signature("backtest_"), args, nargs, kwnames, numpy_inf, a) || !check_inputs(a)) {
    return nullptr;
  }
  std::vector<int> column_of;
  if (!map_columns(a.price_columns, a.pos_columns, column_of)) {
    // A bad label surfaces after the settings are published, as in a run
    // that gets that far.
    PyObject* error = PyErr_GetRaisedException();
    const bool published = publish_settings(module, a);
    if (published) {
      PyErr_SetRaisedException(error);
    } else {
      Py_DECREF(error);
    }
    return nullptr;
  }
  if (!check_unpriced_weights(a, column_of) || !publish_settings(module, a)) return nullptr;

  const kernel::Market& m = a.market;
  npy_intp n = m.price_index.size;
  PyRef creturn = PyRef::steal(PyArray_EMPTY(1, &n, NPY_DOUBLE, 0));
  if (!creturn) return nullptr;
  // Rows 0 of the weights and of the prices size the per-column state.
  if (m.weights.rows == 0 || m.price.rows == 0) {
    quorex::raise_index_error(0, 0, 0);
    return nullptr;
  }
  std::map<int, int> column_map;
  for (std::size_t j = 0; j < column_of.size(); ++j) {
    if (column_of[j] >= 0) column_map.emplace(static_cast<int>(j), column_of[j]);
  }
  TradeRecorder recorder(module, a.stop_trading);
  kernel::Engine run(m, a.rules, std::move(column_of), recorder);

  tradearc.start_analysis(reinterpret_cast<PyArrayObject*>(a.objects[kPriceValues]),
                          reinterpret_cast<PyArrayObject*>(a.objects[kCloseValues]), column_map,
                          static_cast<int>(a.pos_columns.size), a.rules.fee_ratio, a.rules.tax_ratio, a.window,
                          a.window_step);
  if (PyErr_Occurred()) return nullptr;

  auto* equity = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(creturn.get())));
  switch (run.run(equity)) {
    case kernel::Status::ok: break;
    case kernel::Status::aborted: return nullptr;
    case kernel::Status::pos_index_empty:
      PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
      return nullptr;
  }

  std::map<int, double> held(run.held().begin(), run.held().end());
  PyRef closed = PyRef::steal(tradearc.end_analysis(held));
  if (!closed) return nullptr;
  closed.reset();
  if (!publish_stock_operations(module, a, run)) return nullptr;
  return creturn.release();
}

// ---------------------------------------------------------------------------
// normalize_weight

constexpr const char* kNormalizeParams[] = {"weights", "position_limit"};
constexpr quorex::Signature kNormalizeSignature{"normalize_weight", kNormalizeParams, 2};

// Calls fn(key) for every key of `weights`, in iteration order.
template <class Fn>
bool for_each_key(PyObject* weights, Fn fn) {
  PyRef it = PyRef::steal(PyObject_GetIter(weights));
  if (!it) return false;
  while (PyRef key = PyRef::steal(PyIter_Next(it.get()))) {
    if (!fn(key.get())) return false;
  }
  return !PyErr_Occurred();
}

// Scales the weights down to an absolute sum of 1 when they exceed it, then
// clamps each to [-position_limit, position_limit]; in place, with the
// interpreter's arithmetic so that any numbers work.
PyObject* normalize_weight(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* in[2] = {};
  if (!quorex::parse_args(kNormalizeSignature, args, nargs, kwnames, in)) return nullptr;
  PyObject* weights = in[0];
  PyObject* limit = in[1];

  PyRef items = PyRef::steal(PyObject_CallMethodNoArgs(weights, names.items));
  if (!items) return nullptr;
  PyRef iter = PyRef::steal(PyObject_GetIter(items.get()));
  if (!iter) return nullptr;
  PyRef total = PyRef::steal(PyFloat_FromDouble(0.0));
  if (!total) return nullptr;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    PyRef pair = PyRef::steal(PySequence_Tuple(item.get()));
    if (!pair) return nullptr;
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "expected 2 values to unpack from an item, got %zd",
                   PyTuple_GET_SIZE(pair.get()));
      return nullptr;
    }
    PyRef magnitude = PyRef::steal(PyNumber_Absolute(PyTuple_GET_ITEM(pair.get(), 1)));
    if (!magnitude) return nullptr;
    total = PyRef::steal(PyNumber_Add(total.get(), magnitude.get()));
    if (!total) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;

  PyRef one = PyRef::steal(PyLong_FromLong(1));
  if (!one) return nullptr;
  const int over = PyObject_RichCompareBool(total.get(), one.get(), Py_GT);
  if (over < 0) return nullptr;
  if (over) {
    PyRef inverse = PyRef::steal(PyNumber_TrueDivide(one.get(), total.get()));
    if (!inverse) return nullptr;
    const bool ok = for_each_key(weights, [&](PyObject* key) {
      PyRef value = PyRef::steal(PyObject_GetItem(weights, key));
      PyRef scaled = PyRef::steal(value ? PyNumber_Multiply(value.get(), inverse.get()) : nullptr);
      return scaled && PyObject_SetItem(weights, key, scaled.get()) == 0;
    });
    if (!ok) return nullptr;
  }

  PyRef negative_limit = PyRef::steal(PyNumber_Negative(limit));
  if (!negative_limit) return nullptr;
  const bool ok = for_each_key(weights, [&](PyObject* key) {
    PyRef value = PyRef::steal(PyObject_GetItem(weights, key));
    if (!value) return false;
    const int above = PyObject_RichCompareBool(value.get(), limit, Py_GT);
    if (above < 0) return false;
    if (above) return PyObject_SetItem(weights, key, limit) == 0;
    const int below = PyObject_RichCompareBool(value.get(), negative_limit.get(), Py_LT);
    if (below < 0) return false;
    return !below || PyObject_SetItem(weights, key, negative_limit.get()) == 0;
  });
  if (!ok) return nullptr;
  return Py_NewRef(weights);
}

// ---------------------------------------------------------------------------
// get_trade_stocks

constexpr const char* kTradeStocksParams[] = {"pos_columns", "price_index", "touched_exit"};
constexpr quorex::Signature kTradeStocksSignature{"get_trade_stocks", kTradeStocksParams, 3};

PyObject* item_at(PyObject* container, PyObject* key) { return PyObject_GetItem(container, key); }

PyObject* item_at(PyObject* container, Py_ssize_t index) {
  PyRef key = PyRef::steal(PyLong_FromSsize_t(index));
  return key ? PyObject_GetItem(container, key.get()) : nullptr;
}

// `a - b` for Python objects, b an int.
PyObject* minus(PyObject* a, long b) {
  PyRef k = PyRef::steal(PyLong_FromLong(b));
  return k ? PyNumber_Subtract(a, k.get()) : nullptr;
}

// One row per trade of the last run: labels and dates instead of indices.
PyObject* get_trade_stocks(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* in[3] = {};
  if (!quorex::parse_args(kTradeStocksSignature, args, nargs, kwnames, in)) return nullptr;
  PyObject* pos_columns = in[0];
  PyObject* price_index = in[1];
  if (!quorex::check_ndarray_arg(pos_columns, "pos_columns") ||
      !quorex::check_ndarray_arg(price_index, "price_index")) {
    return nullptr;
  }
  if (pos_columns != Py_None &&
      !quorex::check_buffer<quorex::AnyObject>(reinterpret_cast<PyArrayObject*>(pos_columns), 1)) {
    return nullptr;
  }
  if (price_index != Py_None &&
      !quorex::check_buffer<std::int64_t>(reinterpret_cast<PyArrayObject*>(price_index), 1)) {
    return nullptr;
  }
  const int touched = PyObject_IsTrue(in[2]);
  if (touched < 0) return nullptr;

  PyRef rows = PyRef::steal(PyList_New(0));
  PyRef arc = PyRef::steal(module_global(module, names.tradearc));
  if (!rows || !arc) return nullptr;
  PyRef trades = PyRef::steal(PyObject_GetAttr(arc.get(), names.trades));
  if (!trades) return nullptr;
  PyRef iter = PyRef::steal(PyObject_GetIter(trades.get()));
  if (!iter) return nullptr;
  PyRef minus_one = PyRef::steal(PyLong_FromLong(-1));
  if (!minus_one) return nullptr;

  Py_ssize_t i = 0;
  while (PyRef t = PyRef::steal(PyIter_Next(iter.get()))) {
    auto field = [&](Py_ssize_t k) { return PyRef::steal(item_at(t.get(), k)); };
    PyRef row = PyRef::steal(PyList_New(9));
    if (!row) return nullptr;
    auto put = [&](Py_ssize_t slot, PyRef value) {
      if (!value) return false;
      PyList_SET_ITEM(row.get(), slot, value.release());
      return true;
    };
    // Reads t[2] afresh and tells whether the trade was closed.
    auto closed = [&](PyRef& x) {
      x = field(2);
      if (!x) return -1;
      return PyObject_RichCompareBool(x.get(), minus_one.get(), Py_NE);
    };

    PyRef s = field(0);
    if (!s || !put(0, PyRef::steal(item_at(pos_columns, s.get())))) return nullptr;
    PyRef e = field(1);
    if (!e || !put(1, PyRef::steal(item_at(price_index, e.get())))) return nullptr;

    PyRef x;
    int is_closed = closed(x);
    if (is_closed < 0) return nullptr;
    if (is_closed) x = field(2);
    if (!put(2, is_closed ? PyRef::steal(x ? item_at(price_index, x.get()) : nullptr) : minus_one)) return nullptr;
    e = field(1);
    PyRef before_entry = PyRef::steal(e ? minus(e.get(), 1) : nullptr);
    if (!before_entry || !put(3, PyRef::steal(item_at(price_index, before_entry.get())))) return nullptr;

    is_closed = closed(x);
    if (is_closed < 0) return nullptr;
    PyRef exit_signal;
    if (!is_closed) {
      exit_signal = minus_one;
    } else if (touched) {
      x = field(2);
      exit_signal = PyRef::steal(x ? item_at(price_index, x.get()) : nullptr);
    } else {
      x = field(2);
      PyRef before_exit = PyRef::steal(x ? minus(x.get(), 1) : nullptr);
      exit_signal = PyRef::steal(before_exit ? item_at(price_index, before_exit.get()) : nullptr);
    }
    if (!put(4, std::move(exit_signal))) return nullptr;

    arc = PyRef::steal(module_global(module, names.tradearc));
    if (!arc) return nullptr;
    PyRef positions = PyRef::steal(PyObject_GetAttr(arc.get(), names.trade_positions));
    if (!positions || !put(5, PyRef::steal(item_at(positions.get(), i)))) return nullptr;

    is_closed = closed(x);
    if (is_closed < 0) return nullptr;
    PyRef period;
    if (is_closed) {
      x = field(2);
      e = field(1);
      period = PyRef::steal(x && e ? PyNumber_Subtract(x.get(), e.get()) : nullptr);
    } else {
      const Py_ssize_t length = PyObject_Length(price_index);
      if (length < 0) return nullptr;
      PyRef n = PyRef::steal(PyLong_FromSsize_t(length));
      e = field(1);
      period = PyRef::steal(n && e ? PyNumber_Subtract(n.get(), e.get()) : nullptr);
    }
    if (!put(6, std::move(period)) || !put(7, field(1)) || !put(8, field(2))) return nullptr;
    if (PyList_Append(rows.get(), row.get()) < 0) return nullptr;
    ++i;
  }
  if (PyErr_Occurred()) return nullptr;

  PyRef ops = PyRef::steal(module_global(module, names.stock_operations));
  if (!ops) return nullptr;
  return PyTuple_Pack(2, rows.get(), ops.get());
}

// ---------------------------------------------------------------------------
// get_stock_operations, ioft

PyObject* get_stock_operations(PyObject* module, PyObject*) {
  PyRef ops = PyRef::steal(module_global(module, names.stock_operations));
  return ops ? PyObject_CallMethod(ops.get(), "copy", nullptr) : nullptr;
}

constexpr const char* kIoftParams[] = {"v"};
constexpr quorex::Signature kIoftSignature{"ioft", kIoftParams, 1};

// Nanoseconds since the epoch -> naive local datetime.
PyObject* ioft(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* v = nullptr;
  if (!quorex::parse_args(kIoftSignature, args, nargs, kwnames, &v)) return nullptr;
  PyRef datetime_module = PyRef::steal(module_global(module, names.datetime));
  if (!datetime_module) return nullptr;
  PyRef datetime_type = PyRef::steal(PyObject_GetAttrString(datetime_module.get(), "datetime"));
  if (!datetime_type) return nullptr;
  PyRef fromtimestamp = PyRef::steal(PyObject_GetAttrString(datetime_type.get(), "fromtimestamp"));
  if (!fromtimestamp) return nullptr;
  PyRef seconds;
  if (PyFloat_CheckExact(v)) {
    seconds = PyRef::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(v) / 1e9));
  } else if (PyLong_CheckExact(v)) {
    const double value = PyLong_AsDouble(v);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    seconds = PyRef::steal(PyFloat_FromDouble(value / 1e9));
  } else {
    PyRef billion = PyRef::steal(PyFloat_FromDouble(1e9));
    if (!billion) return nullptr;
    seconds = PyRef::steal(PyNumber_TrueDivide(v, billion.get()));
  }
  if (!seconds) return nullptr;
  return PyObject_CallOneArg(fromtimestamp.get(), seconds.get());
}

// ---------------------------------------------------------------------------
// Module

PyDoc_STRVAR(
    backtest_doc,
    "backtest_" QUOREX_BACKTEST_TEXT_SIGNATURE
    "Simulate a portfolio that trades to the rows of `pos_values` and return its\n"
    "daily equity in units of the starting capital (float64, one entry per\n"
    "`price_index` date).\n"
    "\n"
    "Weight rows (dated by `pos_index`, columns labelled by `pos_columns`) take\n"
    "effect at the trade price of the trading date after the last date on or\n"
    "before a `resample` date; positions are valued at the close. Trades pay\n"
    "`fee_ratio`, reducing trades `tax_ratio` as well. `stop_loss`,\n"
    "`take_profit` and `trail_stop` are distances from the cost basis (and its\n"
    "peak); they close a position at the next trade price, or intraday at the\n"
    "touched level when `touched_exit` is true (high, low and open are then\n"
    "required). Trades are reported to quorex.core.tradearc; the end-of-run\n"
    "weights and actions are left in `stock_operations`.");

PyDoc_STRVAR(normalize_weight_doc,
             "normalize_weight(weights, position_limit)\n--\n\n"
             "Scale the dict `weights` in place to an absolute sum of at most 1 and\n"
             "clamp each weight to [-position_limit, position_limit]; return it.");

PyDoc_STRVAR(get_trade_stocks_doc,
             "get_trade_stocks(pos_columns, price_index, touched_exit)\n--\n\n"
             "Return (rows, stock_operations) for the trades of the last backtest_ run:\n"
             "[stock_id, entry_date, exit_date, entry_signal_date, exit_signal_date,\n"
             "position, period, entry_index, exit_index] per trade (-1 for open ends).");

PyDoc_STRVAR(get_stock_operations_doc,
             "get_stock_operations()\n--\n\n"
             "Return a shallow copy of the stock_operations left by the last backtest_ run.");

PyDoc_STRVAR(ioft_doc,
             "ioft(v)\n--\n\n"
             "Convert nanoseconds since the Unix epoch to a naive local datetime.");

PyMethodDef methods[] = {
    {"backtest_", quorex::as_cfunction(backtest), METH_FASTCALL | METH_KEYWORDS, backtest_doc},
    {"normalize_weight", quorex::as_cfunction(normalize_weight), METH_FASTCALL | METH_KEYWORDS, normalize_weight_doc},
    {"get_trade_stocks", quorex::as_cfunction(get_trade_stocks), METH_FASTCALL | METH_KEYWORDS, get_trade_stocks_doc},
    {"get_stock_operations", quorex::as_cfunction(get_stock_operations), METH_NOARGS, get_stock_operations_doc},
    {"ioft", quorex::as_cfunction(ioft), METH_FASTCALL | METH_KEYWORDS, ioft_doc},
    {nullptr, nullptr, 0, nullptr},
};

bool intern_names() {
  return intern(names.retain_cost, "RETAIN_COST_WHEN_REBALANCE") && intern(names.resample, "RESAMPLE") &&
         intern(names.stock_operations, "stock_operations") &&
         intern(names.normalize_weight, "normalize_weight") && intern(names.tradearc, "tradearc") &&
         intern(names.datetime, "datetime") && intern(names.trades, "trades") &&
         intern(names.trade_positions, "trade_positions") && intern(names.items, "items") &&
         intern(names.actions, "actions") && intern(names.weights, "weights") &&
         intern(names.next_weights, "next_weights") && intern(names.weight_time, "weight_time") &&
         intern(names.next_weight_time, "next_weight_time");
}

int exec_module(PyObject* module) {
  if (!quorex::import_numpy() || !intern_names()) return -1;
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return -1;
  if (!read_numpy_inf(numpy.get(), numpy_inf)) return -1;
  if (!quorex::add_attr(module, "org_np", numpy)) return -1;
  PyRef tradearc_module;
  if (!quorex::tradearc_api::bind_table(tradearc, tradearc_module)) return -1;
  if (!quorex::add_attr(module, "tradearc", tradearc_module)) return -1;
  if (!quorex::add_attr(module, "datetime", PyRef::steal(PyImport_ImportModule("datetime")))) return -1;
  if (!quorex::add_attr(module, "RETAIN_COST_WHEN_REBALANCE", PyRef::borrow(Py_False)) ||
      !quorex::add_attr(module, "RESAMPLE", PyRef::borrow(Py_None)) ||
      !quorex::add_attr(module, "stock_operations", PyRef::steal(PyDict_New()))) {
    return -1;
  }
  return 0;
}

PyModuleDef module_def = quorex::module_definition<exec_module>("simloop", methods);

}  // namespace

PyMODINIT_FUNC PyInit_simloop() { return PyModuleDef_Init(&module_def); }
