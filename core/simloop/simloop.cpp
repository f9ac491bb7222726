// quorex.core.simloop: the Python face of the backtest engine.
//
// This file owns everything that touches the interpreter: argument parsing
// and checks, tradearc's native table, the host that forwards the engine's
// trade records to tradearc, and the result objects. The simulation itself
// is engine.hpp.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "shared/args.hpp"
#include "shared/arrays.hpp"
#include "shared/module.hpp"
#include "shared/pyref.hpp"
#include "simloop/engine.hpp"
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

using quorex::Matrix;
using quorex::PyRef;
using quorex::Vector;
namespace engine = quorex::simloop;

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

class TradeRecorder final : public engine::Host {
 public:
  TradeRecorder(PyObject* module, PyObject* stop_trading_next_period)
      : module_(module), stop_trading_(stop_trading_next_period) {}

  bool record_date(int date_index) override {
    tradearc.record_date(date_index);
    return !PyErr_Occurred();
  }
  bool record_entry(int sid, double target, double weight_base, int charge_entry) override {
    // The weight base is a Python number: dividing by zero raises.
    if (weight_base == 0) {
      PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
      return false;
    }
    tradearc.record_entry(sid, target / weight_base, charge_entry);
    return !PyErr_Occurred();
  }
  bool record_exit(int sid, int charge_exit) override {
    tradearc.record_exit(sid, charge_exit);
    return !PyErr_Occurred();
  }
  int retain_cost_setting() override { return module_flag(module_, names.retain_cost); }
  int resample_setting() override { return module_flag(module_, names.resample); }
  int stop_trading_next_period() override { return PyObject_IsTrue(stop_trading_); }

 private:
  PyObject* module_;
  PyObject* stop_trading_;
};

// ---------------------------------------------------------------------------
// backtest_ arguments

constexpr const char* kBacktestParams[] = {
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
    "price_columns", "pos_values", "pos_index", "pos_columns", "resample", "fee_ratio", "tax_ratio",
    "stop_loss", "take_profit", "trail_stop", "touched_exit", "position_limit", "retain_cost_when_rebalance",
    "stop_trading_next_period", "tradearc_window", "tradearc_window_step", "periodically_rebalance",
};
constexpr quorex::Signature kBacktestSignature{"backtest_", kBacktestParams, 11};
enum Param {
  kPriceValues, kCloseValues, kHighValues, kLowValues, kOpenValues, kPriceIndex, kPriceColumns,
  kPosValues, kPosIndex, kPosColumns, kResample, kFeeRatio, kTaxRatio, kStopLoss, kTakeProfit,
  kTrailStop, kTouchedExit, kPositionLimit, kRetainCost, kStopTrading, kWindow, kWindowStep,
  kPeriodicallyRebalance, kParamCount
};
static_assert(std::size(kBacktestParams) == kParamCount);

struct BacktestArgs {
  PyObject* objects[kParamCount] = {};
  engine::Market market;
  Vector<PyObject*> price_columns;
  Vector<PyObject*> pos_columns;
  engine::Rules rules;
  PyObject* stop_trading = Py_True;
  int window = 0;
  int window_step = 1;
  bool periodically_rebalance = true;
};

bool refuse_none(PyObject* obj, const char* name) {
  if (obj != Py_None) return true;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' must be a numpy.ndarray, not None", name);
  return false;
}

template <class T>
bool open_matrix_arg(PyObject* obj, const char* name, bool required, Matrix<T>& out) {
  if (obj == Py_None) return required ? refuse_none(obj, name) : true;
  return quorex::open_matrix(obj, out);
}

template <class T>
bool open_vector_arg(PyObject* obj, const char* name, Vector<T>& out) {
  return refuse_none(obj, name) && quorex::open_vector(obj, out);
}

bool to_double(PyObject* obj, double fallback, double& out) {
  if (obj == nullptr) {
    out = fallback;
    return true;
  }
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

bool to_bool(PyObject* obj, bool fallback, bool& out) {
  if (obj == nullptr) {
    out = fallback;
    return true;
  }
  const int truth = PyObject_IsTrue(obj);
  out = truth > 0;
  return truth >= 0;
}

bool to_int(PyObject* obj, int fallback, int& out) {
  if (obj == nullptr) {
    out = fallback;
    return true;
  }
  out = PyLong_AsInt(obj);
  return !(out == -1 && PyErr_Occurred());
}

bool parse_backtest(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BacktestArgs& a) {
  if (!quorex::parse_args(kBacktestSignature, args, nargs, kwnames, a.objects)) return false;
  PyObject** o = a.objects;
  for (int i = 0; i <= kResample; ++i) {
    if (!quorex::check_ndarray_arg(o[i], kBacktestParams[i])) return false;
  }
  engine::Market& m = a.market;
  if (!open_matrix_arg(o[kPriceValues], "price_values", true, m.price) ||
      !open_matrix_arg(o[kCloseValues], "close_values", true, m.close) ||
      !open_matrix_arg(o[kHighValues], "high_values", false, m.high) ||
      !open_matrix_arg(o[kLowValues], "low_values", false, m.low) ||
      !open_matrix_arg(o[kOpenValues], "open_values", false, m.open) ||
      !open_vector_arg(o[kPriceIndex], "price_index", m.price_index) ||
      !open_vector_arg(o[kPriceColumns], "price_columns", a.price_columns) ||
      !open_matrix_arg(o[kPosValues], "pos_values", true, m.weights) ||
      !open_vector_arg(o[kPosIndex], "pos_index", m.pos_index) ||
      !open_vector_arg(o[kPosColumns], "pos_columns", a.pos_columns) ||
      !open_vector_arg(o[kResample], "resample", m.resample)) {
    return false;
  }
  engine::Rules& r = a.rules;
  if (o[kStopTrading] != nullptr) a.stop_trading = o[kStopTrading];
  return to_double(o[kFeeRatio], 0.001425, r.fee_ratio) && to_double(o[kTaxRatio], 0.003, r.tax_ratio) &&
         to_double(o[kStopLoss], 1.0, r.stop_loss) && to_double(o[kTakeProfit], numpy_inf, r.take_profit) &&
         to_double(o[kTrailStop], numpy_inf, r.trail_stop) && to_bool(o[kTouchedExit], false, r.touched_exit) &&
         to_double(o[kPositionLimit], 1.0, r.position_limit) &&
         to_bool(o[kRetainCost], false, r.retain_cost_when_rebalance) &&
         to_int(o[kWindow], 0, a.window) && to_int(o[kWindowStep], 1, a.window_step) &&
         to_bool(o[kPeriodicallyRebalance], true, a.periodically_rebalance);
}

// ---------------------------------------------------------------------------
// Consistency of the inputs, checked before the run touches anything: the
// engine reads the arrays through raw pointers and relies on these.

bool shape_error(const char* what, Py_ssize_t a0, Py_ssize_t a1, Py_ssize_t b0, Py_ssize_t b1) {
  PyErr_Format(PyExc_ValueError, "%s ((%zd, %zd) vs (%zd, %zd))", what, a0, a1, b0, b1);
  return false;
}

bool length_error(const char* what, Py_ssize_t length, Py_ssize_t expected) {
  PyErr_Format(PyExc_ValueError, "%s (%zd vs %zd)", what, length, expected);
  return false;
}

bool same_shape(const Matrix<double>& a, const Matrix<double>& b, const char* what) {
  return (a.rows == b.rows && a.cols == b.cols) || shape_error(what, a.rows, a.cols, b.rows, b.cols);
}

bool ascending(const Vector<std::int64_t>& v, const char* name) {
  for (Py_ssize_t i = 1; i < v.size; ++i) {
    if (v[i] < v[i - 1]) {
      PyErr_Format(PyExc_ValueError, "%s must be sorted in ascending order (item %zd is before item %zd)", name,
                   i, i - 1);
      return false;
    }
  }
  return true;
}

// With no weight rows or no position dates the run fails on its own terms
// (IndexError) before any weight is read, so those checks are left to it.
bool weights_in_use(const engine::Market& m) { return m.weights.rows > 0 && m.pos_index.size > 0; }

bool check_inputs(const BacktestArgs& a) {
  const engine::Market& m = a.market;
  if (a.rules.touched_exit) {
    for (int i : {kHighValues, kLowValues, kOpenValues}) {
      if (a.objects[i] == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return false;
      }
    }
    if (!same_shape(m.high, m.price, "high_values and price_values differ in shape") ||
        !same_shape(m.low, m.price, "low_values and price_values differ in shape") ||
        !same_shape(m.open, m.price, "open_values and price_values differ in shape")) {
      return false;
    }
  }
  if (!same_shape(m.close, m.price, "close_values and price_values differ in shape")) return false;
  if (m.price_index.size != m.price.rows) {
    return length_error("price_index does not match the rows of price_values", m.price_index.size, m.price.rows);
  }
  if (a.price_columns.size != m.price.cols) {
    return length_error("price_columns does not match the columns of price_values", a.price_columns.size,
                        m.price.cols);
  }
  if (weights_in_use(m)) {
    if (a.pos_columns.size != m.weights.cols) {
      return length_error("pos_columns does not match the columns of pos_values", a.pos_columns.size,
                          m.weights.cols);
    }
    if (m.pos_index.size != m.weights.rows) {
      return length_error("pos_index does not match the rows of pos_values", m.pos_index.size, m.weights.rows);
    }
  }
  return ascending(m.price_index, "price_index") && ascending(m.pos_index, "pos_index") &&
         ascending(m.resample, "resample");
}

// ---------------------------------------------------------------------------
// Column map: position column -> price column with the same label.

// A label's UTF-8 bytes, through its own encode method.
bool label_bytes(PyObject* label, std::string& out) {
  PyRef encoded = PyRef::steal(PyUnicode_CheckExact(label) ? PyUnicode_AsUTF8String(label)
                                                           : PyObject_CallMethod(label, "encode", "s", "UTF-8"));
  if (!encoded) return false;
  if (!PyBytes_Check(encoded.get())) {
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(encoded.get())->tp_name);
    return false;
  }
  out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

// column_of[j] = price column of position column j, or -1 without one; a
// repeated price label maps to its last column.
bool map_columns(const Vector<PyObject*>& price_columns, const Vector<PyObject*>& pos_columns,
                 std::vector<int>& column_of) {
  std::unordered_map<std::string, int> name_index;
  name_index.reserve(static_cast<std::size_t>(price_columns.size));
  std::string key;
  for (Py_ssize_t i = 0; i < price_columns.size; ++i) {
    if (!label_bytes(quorex::object_at(price_columns, i), key)) return false;
    name_index.insert_or_assign(key, static_cast<int>(i));
  }
  column_of.assign(static_cast<std::size_t>(pos_columns.size), -1);
  for (Py_ssize_t j = 0; j < pos_columns.size; ++j) {
    if (!label_bytes(quorex::object_at(pos_columns, j), key)) return false;
    auto it = name_index.find(key);
    if (it != name_index.end()) column_of[static_cast<std::size_t>(j)] = it->second;
  }
  return true;
}

// A weight for a column without prices could never be valued.
bool check_unpriced_weights(const BacktestArgs& a, const std::vector<int>& column_of) {
  const Matrix<double>& w = a.market.weights;
  if (!weights_in_use(a.market)) return true;
  for (Py_ssize_t j = 0; j < w.cols; ++j) {
    if (column_of[static_cast<std::size_t>(j)] >= 0) continue;
    for (Py_ssize_t r = 0; r < w.rows; ++r) {
      if (w(r, j) != 0) {
        PyErr_Format(PyExc_ValueError,
                     "pos_columns label %R has a non-zero weight in pos_values (row %zd) but no price column "
                     "of the same label",
                     quorex::object_at(a.pos_columns, j), r);
        return false;
      }
    }
  }
  return true;
}

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

bool set_float_item(PyObject* dict, Py_ssize_t key, double value) {
  PyRef v = PyRef::steal(PyFloat_FromDouble(value));
  return set_int_item(dict, key, v.get());
}

bool set_label(PyObject* actions, int sid, const char* label) {
  PyRef v = PyRef::steal(PyUnicode_InternFromString(label));
  return set_int_item(actions, sid, v.get());
}

// Item `key` of an arbitrary mapping: 1 present, 0 absent, -1 error.
int mapping_has(PyObject* mapping, int key) {
  PyRef k = PyRef::steal(PyLong_FromLong(key));
  return k ? PySequence_Contains(mapping, k.get()) : -1;
}

// Weights of the last rebalance, divided by their sum when it exceeds 1; a
// column sold since then by a pending exit counts in the sum but reports 0
// (one closed by a touched exit is still held, at 0, and keeps its weight).
bool fill_last_weights(PyObject* weights, const Matrix<double>& w, const engine::Engine& run) {
  std::vector<std::pair<int, double>> last;
  double sum = 0.0;
  for (const auto& [sid, value] : run.snapshot()) {
    const double v = w(run.applied_row(), sid);
    last.emplace_back(sid, run.held().find(sid) ? v : 0.0);
    sum += v;
  }
  const double divisor = sum > 1 ? sum : 1.0;
  for (const auto& [sid, v] : last) {
    if (!set_float_item(weights, sid, v / divisor)) return false;
  }
  return true;
}

// The newest row's non-zero weights, divided by its absolute sum when that
// exceeds 1; with stop_trading_next_period, stocks on their way out (or
// just out) are left out.
bool fill_next_weights(PyObject* next_weights, const Matrix<double>& w, PyObject* stop_trading,
                       const engine::Engine& run) {
  std::vector<char> exiting(static_cast<std::size_t>(w.cols), 0);
  for (const auto* list : {&run.stopped_out(), &run.pending_exits()}) {
    for (const engine::ExitMark s : *list) exiting[static_cast<std::size_t>(s.sid)] = 1;
  }
  std::vector<std::pair<int, double>> next;
  double sum = 0.0;
  for (Py_ssize_t sid = 0; sid < w.cols; ++sid) {
    const double v = w(run.current_row(), sid);
    sum += std::fabs(v);
    const int stop = PyObject_IsTrue(stop_trading);
    if (stop < 0) return false;
    if (stop && exiting[static_cast<std::size_t>(sid)]) continue;
    if (v != 0) next.emplace_back(static_cast<int>(sid), v);
  }
  const double divisor = sum > 1 ? sum : 1.0;
  for (const auto& [sid, v] : next) {
    if (!set_float_item(next_weights, sid, v / divisor)) return false;
  }
  return true;
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

// What each stock does next: the due rebalance's enter/exit/hold, then the
// pending exits, then the stocks stopped out since the last rebalance; later
// labels overwrite earlier ones.
bool label_actions(PyObject* actions, PyObject* next_weights, const BacktestArgs& a, const engine::Engine& run) {
  const Matrix<double>& w = a.market.weights;
  const Py_ssize_t row = run.current_row();
  if (run.rebalance_due()) {
    for (Py_ssize_t sid = 0; sid < w.cols; ++sid) {
      const double v = w(row, sid);
      const double* h = run.held().find(static_cast<int>(sid));
      const double cur = h ? *h : 0.0;
      const char* label = cur == 0 ? (v != 0 ? "enter" : nullptr) : (v == 0 ? "exit" : "hold");
      if (label && !set_label(actions, static_cast<int>(sid), label)) return false;
    }
  }

  const std::int64_t last_date = a.market.price_index[a.market.price_index.size - 1];
  const bool newest_row_is_older = last_date > a.market.pos_index[row];
  for (const engine::ExitMark s : run.pending_exits()) {
    const int stop = PyObject_IsTrue(a.stop_trading);
    if (stop < 0) return false;
    const char* label = nullptr;
    if (stop || newest_row_is_older) {
      label = s.upper ? "tp" : "sl";
    } else {
      const int reentered = has_nonzero(next_weights, s.sid);
      if (reentered < 0) return false;
      if (reentered) label = s.upper ? "tp_enter" : "sl_enter";
    }
    if (label && !set_label(actions, s.sid, label)) return false;
  }

  for (const engine::ExitMark s : run.stopped_out()) {
    const int stop = PyObject_IsTrue(a.stop_trading);
    if (stop < 0) return false;
    int labelled = 0;
    if (!stop) {
      labelled = mapping_has(actions, s.sid);
      if (labelled < 0) return false;
    }
    if ((stop || !labelled) && !set_label(actions, s.sid, s.upper ? "tp_" : "sl_")) return false;
  }
  return true;
}

// The end-of-run summary, published only when complete.
bool publish_stock_operations(PyObject* module, const BacktestArgs& a, const engine::Engine& run) {
  PyRef actions = PyRef::steal(PyDict_New());
  PyRef weights = PyRef::steal(PyDict_New());
  PyRef next_weights = PyRef::steal(PyDict_New());
  PyRef ops = PyRef::steal(PyDict_New());
  if (!actions || !weights || !next_weights || !ops) return false;
  if (PyDict_SetItem(ops.get(), names.actions, actions.get()) < 0 ||
      PyDict_SetItem(ops.get(), names.weights, weights.get()) < 0 ||
      PyDict_SetItem(ops.get(), names.next_weights, next_weights.get()) < 0 ||
      !fill_last_weights(weights.get(), a.market.weights, run) ||
      !fill_next_weights(next_weights.get(), a.market.weights, a.stop_trading, run)) {
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

  if (!label_actions(actions.get(), next_out.get(), a, run)) return false;
  return PyDict_SetItem(PyModule_GetDict(module), names.stock_operations, ops.get()) == 0;
}

// ---------------------------------------------------------------------------
// backtest_

PyObject* backtest(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BacktestArgs a;
  if (!parse_backtest(args, nargs, kwnames, a) || !check_inputs(a)) return nullptr;
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

  const engine::Market& m = a.market;
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
  engine::Engine run(m, a.rules, std::move(column_of), recorder);

  tradearc.start_analysis(reinterpret_cast<PyArrayObject*>(a.objects[kPriceValues]),
                          reinterpret_cast<PyArrayObject*>(a.objects[kCloseValues]), column_map,
                          static_cast<int>(a.pos_columns.size), a.rules.fee_ratio, a.rules.tax_ratio, a.window,
                          a.window_step);
  if (PyErr_Occurred()) return nullptr;

  auto* equity = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(creturn.get())));
  switch (run.run(equity)) {
    case engine::Status::ok: break;
    case engine::Status::aborted: return nullptr;
    case engine::Status::pos_index_empty:
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
    "backtest_(price_values, close_values, high_values, low_values, open_values, price_index, "
    "price_columns, pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003, "
    "stop_loss=1.0, take_profit=org_np.inf, trail_stop=org_np.inf, touched_exit=False, position_limit=1.0, "
    "retain_cost_when_rebalance=False, stop_trading_next_period=True, tradearc_window=0, "
    "tradearc_window_step=1, periodically_rebalance=True)\n"
    "--\n"
    "\n"
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

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"backtest_", as_cfunction(backtest), METH_FASTCALL | METH_KEYWORDS, backtest_doc},
    {"normalize_weight", as_cfunction(normalize_weight), METH_FASTCALL | METH_KEYWORDS, normalize_weight_doc},
    {"get_trade_stocks", as_cfunction(get_trade_stocks), METH_FASTCALL | METH_KEYWORDS, get_trade_stocks_doc},
    {"get_stock_operations", as_cfunction(get_stock_operations), METH_NOARGS, get_stock_operations_doc},
    {"ioft", as_cfunction(ioft), METH_FASTCALL | METH_KEYWORDS, ioft_doc},
    {nullptr, nullptr, 0, nullptr},
};

bool initialised = false;

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
  if (!quorex::claim_first_init(initialised, module)) return -1;
  if (!quorex::import_numpy() || !intern_names()) return -1;
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return -1;
  PyRef inf = PyRef::steal(PyObject_GetAttrString(numpy.get(), "inf"));
  if (!inf) return -1;
  numpy_inf = PyFloat_AsDouble(inf.get());
  if (numpy_inf == -1.0 && PyErr_Occurred()) return -1;
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

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(quorex::guarded_create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "simloop", nullptr, 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_simloop() { return PyModuleDef_Init(&module_def); }
