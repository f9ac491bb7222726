// The execution rules as quorex.core.engine.run takes them: keyword
// arguments after those of the backtest, each checked once before the run
// (numbers finite and in range, the volume and tradable matrices of the
// prices' shape, any strides), so the engine reads them without checks.
#pragma once

#include <Python.h>

#include <cmath>
#include <iterator>
#include <string>

#include "kernel/execution.hpp"
#include "shared/arrays.hpp"
#include "shared/backtest_args.hpp"

namespace quorex::binding {

constexpr const char* kExecutionParams[] = {
    "capital", "lot_size", "min_fee", "price_limit", "tradable", "volume", "max_participation",
    "slippage", "impact", "retry_unfilled", "cash_rate", "borrow_rate",
};
enum ExecutionParam {
  kCapital, kLotSize, kMinFee, kPriceLimit, kTradable, kVolume, kMaxParticipation, kSlippage, kImpact,
  kRetryUnfilled, kCashRate, kBorrowRate, kExecutionParamCount
};
static_assert(std::size(kExecutionParams) == kExecutionParamCount);

// A number of the rules: finite (or +inf where `inf_is_off`) and at least `lowest`.
inline bool rule_number(PyObject* obj, const char* name, double fallback, double lowest, bool inf_is_off,
                        double& out) {
  if (!to_double(obj == Py_None ? nullptr : obj, fallback, out)) return false;
  if (inf_is_off && out == INFINITY) return true;
  if (!std::isfinite(out) || out < lowest) {
    PyErr_Format(PyExc_ValueError, "%s must be a finite number not below %d, got %R", name, static_cast<int>(lowest),
                 obj);
    return false;
  }
  return true;
}

template <class T>
inline bool rule_matrix(PyObject* obj, const char* name, const Matrix<double>& price, Matrix<T>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!check_ndarray_arg(obj, name) || !open_matrix(obj, out)) return false;
  if (out.rows != price.rows || out.cols != price.cols) {
    const std::string what = std::string(name) + " and price_values differ in shape";
    return shape_error(what.c_str(), out.rows, out.cols, price.rows, price.cols);
  }
  return true;
}

// Converts the execution arguments (`objects`, borrowed, nullptr where not
// given) into the engine's rules.
inline bool convert_execution(PyObject* const* o, const Matrix<double>& price, kernel::Execution& e) {
  if (!rule_number(o[kCapital], "capital", 0.0, 0.0, false, e.capital) ||
      !rule_number(o[kLotSize], "lot_size", 0.0, 0.0, false, e.lot_size) ||
      !rule_number(o[kMinFee], "min_fee", 0.0, 0.0, false, e.min_fee) ||
      !rule_number(o[kPriceLimit], "price_limit", INFINITY, 0.0, true, e.price_limit) ||
      !rule_number(o[kMaxParticipation], "max_participation", INFINITY, 0.0, true, e.max_participation) ||
      !rule_number(o[kSlippage], "slippage", 0.0, 0.0, false, e.slippage) ||
      !rule_number(o[kImpact], "impact", 0.0, 0.0, false, e.impact) ||
      !to_bool(o[kRetryUnfilled], true, e.retry) ||
      !rule_number(o[kCashRate], "cash_rate", 0.0, -1.0, false, e.cash_rate) ||
      !rule_number(o[kBorrowRate], "borrow_rate", 0.0, 0.0, false, e.borrow_rate) ||
      !rule_matrix(o[kTradable], "tradable", price, e.tradable) ||
      !rule_matrix(o[kVolume], "volume", price, e.volume)) {
    return false;
  }
  const bool shares = e.capital > 0;
  const char* needs_capital = e.lot_size > 0 ? "lot_size" : e.min_fee > 0 ? "min_fee"
                              : e.volume.data != nullptr ? "volume" : nullptr;
  if (!shares && needs_capital != nullptr) {
    PyErr_Format(PyExc_ValueError, "%s needs capital: positions are counted in shares only with a capital",
                 needs_capital);
    return false;
  }
  if (e.impact > 0 && e.volume.data == nullptr) {
    PyErr_SetString(PyExc_ValueError, "impact needs volume: the square-root slippage is measured against it");
    return false;
  }
  if (std::isfinite(e.max_participation) && (e.volume.data == nullptr || !(e.max_participation > 0) ||
                                             e.max_participation > 1)) {
    PyErr_SetString(PyExc_ValueError, "max_participation must lie in (0, 1] and needs volume");
    return false;
  }
  return true;
}

}  // namespace quorex::binding
