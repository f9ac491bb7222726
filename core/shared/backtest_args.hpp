// The arguments of a backtest as every binding of the engine takes them:
// parsing with the exact messages, the consistency checks made before a run
// touches anything, and the mapping of position columns to price columns by
// label. Both quorex.core.simloop and quorex.core.engine include this, so a
// market is accepted or refused the same way by either.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernel/engine.hpp"
#include "shared/args.hpp"
#include "shared/arrays.hpp"
#include "shared/pyref.hpp"

namespace quorex::binding {

// The parameter list of the docstring signature, after the function's name.
#define QUOREX_BACKTEST_PARAMETERS_TEXT                                                                     \
  "price_values, close_values, high_values, low_values, open_values, price_index, "                         \
  "price_columns, pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003, "      \
  "stop_loss=1.0, take_profit=org_np.inf, trail_stop=org_np.inf, touched_exit=False, position_limit=1.0, "  \
  "retain_cost_when_rebalance=False, stop_trading_next_period=True, tradearc_window=0, "                    \
  "tradearc_window_step=1, periodically_rebalance=True"
#define QUOREX_BACKTEST_TEXT_SIGNATURE "(" QUOREX_BACKTEST_PARAMETERS_TEXT ")\n--\n\n"

// numpy.inf, the default of the open-ended distances, read once at import.
inline bool read_numpy_inf(PyObject* numpy, double& out) {
  PyRef inf = PyRef::steal(PyObject_GetAttrString(numpy, "inf"));
  if (!inf) return false;
  out = PyFloat_AsDouble(inf.get());
  return !(out == -1.0 && PyErr_Occurred());
}

constexpr const char* kBacktestParams[] = {
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
    "price_columns", "pos_values", "pos_index", "pos_columns", "resample", "fee_ratio", "tax_ratio",
    "stop_loss", "take_profit", "trail_stop", "touched_exit", "position_limit", "retain_cost_when_rebalance",
    "stop_trading_next_period", "tradearc_window", "tradearc_window_step", "periodically_rebalance",
};
enum Param {
  kPriceValues, kCloseValues, kHighValues, kLowValues, kOpenValues, kPriceIndex, kPriceColumns,
  kPosValues, kPosIndex, kPosColumns, kResample, kFeeRatio, kTaxRatio, kStopLoss, kTakeProfit,
  kTrailStop, kTouchedExit, kPositionLimit, kRetainCost, kStopTrading, kWindow, kWindowStep,
  kPeriodicallyRebalance, kParamCount
};
static_assert(std::size(kBacktestParams) == kParamCount);

struct BacktestArgs {
  PyObject* objects[kParamCount] = {};
  kernel::Market market;
  Vector<PyObject*> price_columns;
  Vector<PyObject*> pos_columns;
  kernel::Rules rules;
  PyObject* stop_trading = Py_True;
  int window = 0;
  int window_step = 1;
  bool periodically_rebalance = true;
};

inline bool refuse_none(PyObject* obj, const char* name) {
  if (obj != Py_None) return true;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' must be a numpy.ndarray, not None", name);
  return false;
}

template <class T>
inline bool open_matrix_arg(PyObject* obj, const char* name, bool required, Matrix<T>& out) {
  if (obj == Py_None) return required ? refuse_none(obj, name) : true;
  return quorex::open_matrix(obj, out);
}

template <class T>
inline bool open_vector_arg(PyObject* obj, const char* name, Vector<T>& out) {
  return refuse_none(obj, name) && quorex::open_vector(obj, out);
}

inline bool to_double(PyObject* obj, double fallback, double& out) {
  if (obj == nullptr) {
    out = fallback;
    return true;
  }
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

inline bool to_bool(PyObject* obj, bool fallback, bool& out) {
  if (obj == nullptr) {
    out = fallback;
    return true;
  }
  const int truth = PyObject_IsTrue(obj);
  out = truth > 0;
  return truth >= 0;
}

inline bool to_int(PyObject* obj, int fallback, int& out) {
  if (obj == nullptr) {
    out = fallback;
    return true;
  }
  out = PyLong_AsInt(obj);
  return !(out == -1 && PyErr_Occurred());
}

// The parameters of `function` (backtest_ or a binding sharing its signature).
constexpr quorex::Signature backtest_signature(const char* function) { return {function, kBacktestParams, 11}; }

// Converts the bound arguments in `a.objects`; `numpy_inf` is the default of
// the two open-ended distances.
inline bool convert_backtest(double numpy_inf, BacktestArgs& a) {
  PyObject** o = a.objects;
  for (int i = 0; i <= kResample; ++i) {
    if (!quorex::check_ndarray_arg(o[i], kBacktestParams[i])) return false;
  }
  kernel::Market& m = a.market;
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
  kernel::Rules& r = a.rules;
  if (o[kStopTrading] != nullptr) a.stop_trading = o[kStopTrading];
  return to_double(o[kFeeRatio], 0.001425, r.fee_ratio) && to_double(o[kTaxRatio], 0.003, r.tax_ratio) &&
         to_double(o[kStopLoss], 1.0, r.stop_loss) && to_double(o[kTakeProfit], numpy_inf, r.take_profit) &&
         to_double(o[kTrailStop], numpy_inf, r.trail_stop) && to_bool(o[kTouchedExit], false, r.touched_exit) &&
         to_double(o[kPositionLimit], 1.0, r.position_limit) &&
         to_bool(o[kRetainCost], false, r.retain_cost_when_rebalance) &&
         to_int(o[kWindow], 0, a.window) && to_int(o[kWindowStep], 1, a.window_step) &&
         to_bool(o[kPeriodicallyRebalance], true, a.periodically_rebalance);
}

// Binds and converts the arguments.
inline bool parse_backtest(const quorex::Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, double numpy_inf, BacktestArgs& a) {
  return quorex::parse_args(signature, args, nargs, kwnames, a.objects) && convert_backtest(numpy_inf, a);
}

// ---------------------------------------------------------------------------
// Consistency of the inputs, checked before the run touches anything: the
// engine reads the arrays through raw pointers and relies on these.

inline bool shape_error(const char* what, Py_ssize_t a0, Py_ssize_t a1, Py_ssize_t b0, Py_ssize_t b1) {
  PyErr_Format(PyExc_ValueError, "%s ((%zd, %zd) vs (%zd, %zd))", what, a0, a1, b0, b1);
  return false;
}

inline bool length_error(const char* what, Py_ssize_t length, Py_ssize_t expected) {
  PyErr_Format(PyExc_ValueError, "%s (%zd vs %zd)", what, length, expected);
  return false;
}

inline bool same_shape(const Matrix<double>& a, const Matrix<double>& b, const char* what) {
  return (a.rows == b.rows && a.cols == b.cols) || shape_error(what, a.rows, a.cols, b.rows, b.cols);
}

inline bool ascending(const Vector<std::int64_t>& v, const char* name) {
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
inline bool weights_in_use(const kernel::Market& m) { return m.weights.rows > 0 && m.pos_index.size > 0; }

inline bool check_inputs(const BacktestArgs& a) {
  const kernel::Market& m = a.market;
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
inline bool label_bytes(PyObject* label, std::string& out) {
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
inline bool map_columns(const Vector<PyObject*>& price_columns, const Vector<PyObject*>& pos_columns,
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
inline bool check_unpriced_weights(const BacktestArgs& a, const std::vector<int>& column_of) {
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

}  // namespace quorex::binding
