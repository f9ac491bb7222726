// quorex.core.metrics: performance figures of a finished backtest report.
//
// Everything here is a sequence of pandas operations on the report's Series
// and DataFrames, spelled through the C API with the helpers of
// shared/pycall.hpp. Module-level names (pd, data, daily_return, ...) are
// looked up in the module's namespace at call time, as Python code would, so
// rebinding them on the module takes effect.
#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <tuple>
#include <utility>

#include "shared/args.hpp"
#include "shared/arrays.hpp"
#include "shared/module.hpp"
#include "shared/pycall.hpp"
#include "shared/pyref.hpp"

namespace {

using quorex::PyRef;
using namespace quorex::py;

// The module's namespace, kept for the life of the process: the module can be
// initialised only once and its functions outlive any one reference to it.
PyObject* g_namespace = nullptr;

// A module-level name, looked up when used (NameError when it was deleted).
PyRef global(const char* name) {
  if (PyErr_Occurred()) return {};
  PyObject* value = nullptr;
  const int found = PyDict_GetItemStringRef(g_namespace, name, &value);
  if (found == 0) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  return PyRef::steal(value);
}

PyRef integer(long value) { return PyRef::steal(PyLong_FromLong(value)); }

// Hands a result to the interpreter; a result produced while an exception is
// pending is dropped so that the exception is what the caller sees.
PyObject* finish(PyRef result) {
  if (result && PyErr_Occurred()) return nullptr;
  return result.release();
}

// ---------------------------------------------------------------------------
// Module functions

PyRef daily_return(const PyRef& s) {
  PyRef days = call_method(s, "resample", "1D");
  PyRef last = call_method(days, "last");
  PyRef present = call_method(last, "dropna");
  return call_method(present, "pct_change");
}

PyRef safe_division(const PyRef& n, const PyRef& d) {
  const int nonzero = truth(d);
  if (nonzero < 0) return {};
  if (!nonzero) return integer(0);
  if (!ready({&n})) return {};
  return PyRef::steal(PyNumber_TrueDivide(n.get(), d.get()));
}

PyRef calc_cagr(const PyRef& s) {
  const Py_ssize_t n = length(s);
  if (n < 0) return {};
  if (n <= 1) return integer(0);
  PyRef growth = call_method(call_method(s, "add", 1), "prod");
  PyRef index = attr(s, "index");
  PyRef last = item(index, -1);
  PyRef first = item(index, 0);
  PyRef days = attr(sub(last, first), "days");
  PyRef exponent = call(global("safe_division"), 365.25, days);
  return sub(power(growth, exponent), 1);
}

// Alpha is the strategy's annualised growth less beta times the benchmark's,
// not a regression intercept.
PyRef calculate_alpha_beta(const PyRef& creturn, const PyRef& benchmark) {
  PyRef data_frame = attr(global("pd"), "DataFrame");
  PyRef columns = PyRef::steal(PyDict_New());
  if (!data_frame || !columns) return {};
  // Rows are matched by position: the index labels are left behind.
  PyRef a = attr(creturn, "values");
  if (!a || PyDict_SetItemString(columns.get(), "a", a.get()) < 0) return {};
  PyRef b = attr(benchmark, "values");
  if (!b || PyDict_SetItemString(columns.get(), "b", b.get()) < 0) return {};
  PyRef frame = call(data_frame, columns);
  PyRef covariance = item(attr(call_method(frame, "cov"), "iloc"), tuple(0, 1));
  PyRef beta = truediv(covariance, call_method(benchmark, "var"));
  PyRef cagr_a = call(global("calc_cagr"), creturn);
  PyRef cagr_b = call(global("calc_cagr"), benchmark);
  PyRef alpha = sub(cagr_a, mul(beta, cagr_b));
  return tuple(alpha, beta);
}

// Python-visible wrappers: parameters positional or keyword, no defaults.
template <std::size_t N>
struct FunctionSpec {
  const char* name;
  std::array<const char*, N> params;
};

template <std::size_t N, class Body>
PyObject* run_function(const FunctionSpec<N>& decl, Body body, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  const quorex::Signature signature{decl.name, decl.params, static_cast<Py_ssize_t>(N)};
  std::array<PyObject*, N> bound{};
  if (!quorex::parse_args(signature, args, nargs, kwnames, bound.data())) return nullptr;
  return finish(std::apply([&](auto*... arg) { return body(PyRef::borrow(arg)...); }, bound));
}

constexpr FunctionSpec<1> kDailyReturn{"<lambda>", {"s"}};
constexpr FunctionSpec<2> kSafeDivision{"safe_division", {"n", "d"}};
constexpr FunctionSpec<1> kCalcCagr{"<lambda>", {"s"}};
constexpr FunctionSpec<2> kAlphaBeta{"calculate_alpha_beta", {"creturn", "benchmark"}};

PyObject* py_daily_return(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_function(kDailyReturn, daily_return, args, nargs, kwnames);
}
PyObject* py_safe_division(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_function(kSafeDivision, safe_division, args, nargs, kwnames);
}
PyObject* py_calc_cagr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_function(kCalcCagr, calc_cagr, args, nargs, kwnames);
}
PyObject* py_calculate_alpha_beta(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_function(kAlphaBeta, calculate_alpha_beta, args, nargs, kwnames);
}

using quorex::as_cfunction;

// The text signatures give inspect.signature() the parameters; __doc__ of a
// function whose doc is only a signature is None, as for a Python lambda.
PyMethodDef function_defs[] = {
    {"<lambda>", as_cfunction(py_daily_return), METH_FASTCALL | METH_KEYWORDS, "<lambda>(s)\n--\n\n"},
    {"safe_division", as_cfunction(py_safe_division), METH_FASTCALL | METH_KEYWORDS, "safe_division(n, d)\n--\n\n"},
    {"<lambda>", as_cfunction(py_calc_cagr), METH_FASTCALL | METH_KEYWORDS, "<lambda>(s)\n--\n\n"},
    {"calculate_alpha_beta", as_cfunction(py_calculate_alpha_beta), METH_FASTCALL | METH_KEYWORDS,
     "calculate_alpha_beta(creturn, benchmark)\n--\n\n"},
};
constexpr const char* kFunctionNames[] = {"daily_return", "safe_division", "calc_cagr", "calculate_alpha_beta"};

// ---------------------------------------------------------------------------
// Metrics: instance caches

PyRef self_ref(PyObject* self) { return PyRef::borrow(self); }
PyRef report(PyObject* self) { return attr(self_ref(self), "report"); }
PyRef report_attr(PyObject* self, const char* name) { return attr(report(self), name); }

// Reads the cache attribute; computes and stores it while it is None; returns
// the attribute as read back. Only None marks an empty cache.
template <class Compute>
PyRef cached(PyObject* self, const char* name, Compute compute) {
  PyRef current = attr(self_ref(self), name);
  if (!current) return {};
  if (current.get() == Py_None) {
    PyRef value = compute();
    if (!value || PyErr_Occurred() || PyObject_SetAttrString(self, name, value.get()) < 0) return {};
  }
  return attr(self_ref(self), name);
}

PyRef ensure_stats(PyObject* self, PyObject* riskfree_rate) {
  return cached(self, "_stats", [&] {
    PyRef daily = call_method(call_method(call_method(report_attr(self, "creturn"), "resample", "1D"), "last"),
                              "dropna");
    PyRef simple_stats = call_method(daily, "calc_stats");
    // The rate must be set before any statistic is read.
    PyRef rate_set = call_method(simple_stats, "set_riskfree_rate", riskfree_rate);
    return call_method(attr(simple_stats, "stats"), "to_dict");
  });
}

PyRef ensure_alpha_beta(PyObject* self, PyObject*) {
  return cached(self, "_alpha_beta", [&] {
    PyRef strategy_daily_return = call(global("daily_return"), report_attr(self, "creturn"));
    PyRef benchmark_daily = call(global("daily_return"), report_attr(self, "benchmark"));
    PyRef aligned = call_method(benchmark_daily, "reindex", attr(strategy_daily_return, "index"));
    PyRef benchmark_daily_return = call_method(aligned, "fillna", 0);
    PyRef alpha, beta;
    if (!unpack_pair(call(global("calculate_alpha_beta"), strategy_daily_return, benchmark_daily_return), alpha,
                     beta)) {
      return PyRef{};
    }
    return tuple(alpha, beta);
  });
}

// A missing (NaN) cell differs from 0 and counts as held.
PyRef ensure_position_nstocks(PyObject* self, PyObject*) {
  return cached(self, "_position_nstocks", [&] {
    PyRef held = compare(report_attr(self, "position"), 0, Py_NE);
    return call_kw(attr(held, "sum"), {}, {{"axis", 1}});
  });
}

// The version test is a text comparison, kept as such: pandas renamed the
// month-end alias in 2.2.0.
PyRef ensure_monthly_return(PyObject* self, PyObject*) {
  return cached(self, "_monthly_return", [&] {
    PyRef strategy_daily_return = call(global("daily_return"), report_attr(self, "creturn"));
    const int month_end_alias = compare_true(attr(global("pd"), "__version__"), "2.2.0", Py_GE);
    if (month_end_alias < 0) return PyRef{};
    const char* resample_m = month_end_alias ? "ME" : "M";
    PyRef growth = call_method(call_method(add(strategy_daily_return, 1), "resample", resample_m), "prod");
    return call_method(growth, "subtract", 1);
  });
}

PyRef ensure_var_cvar(PyObject* self, PyObject*) {
  return cached(self, "_var_cvar", [&] {
    PyRef monthly_return = call_method(self_ref(self), "_ensure_monthly_return_calculated");
    PyRef var = call_method(monthly_return, "quantile", 0.05);
    PyRef cvar = call_method(item(monthly_return, compare(monthly_return, var, Py_LT)), "mean");
    return tuple(var, cvar);
  });
}

PyRef ensure_tail_ratio(PyObject* self, PyObject*) {
  return cached(self, "_tail_ratio", [&] {
    PyRef strategy_daily_return = call(global("daily_return"), report_attr(self, "creturn"));
    PyRef tail_right = call_method(strategy_daily_return, "quantile", 0.95);
    PyRef tail_left = call_method(strategy_daily_return, "quantile", 0.05);
    const int left_is_zero = compare_true(tail_left, 0, Py_EQ);
    if (left_is_zero < 0) return PyRef{};
    if (left_is_zero) return integer(1);
    return absolute(truediv(tail_right, tail_left));
  });
}

// Gross gain over gross loss; without a losing trade safe_division gives 0.
PyRef ensure_profit_factor(PyObject* self, PyObject*) {
  return cached(self, "_profit_factor", [&] {
    const Py_ssize_t n_trades = length(report_attr(self, "trades"));
    if (n_trades < 0) return PyRef{};
    if (n_trades == 0) return integer(1);
    PyRef trades_return = item(report_attr(self, "trades"), "return");
    PyRef gain = call_method(item(trades_return, compare(trades_return, 0, Py_GT)), "sum");
    PyRef loss = call_method(item(trades_return, compare(trades_return, 0, Py_LT)), "sum");
    return absolute(call(global("safe_division"), gain, loss));
  });
}

PyRef ensure_liquidity(PyObject* self, PyObject*) {
  return cached(self, "_liquidity", [&] { return report_attr(self, "liquidity"); });
}

// min() is the interpreter's own, so naive and aware expiry times refuse to
// compare exactly as they would in Python.
PyRef earliest(const PyRef& times) {
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  return call(attr(builtins, "min"), times);
}

// The earliest expiry among the datasets held by the file-backed storage; a
// dataset without a known expiry counts as expiring now.
PyRef ensure_expired_time(PyObject* self, PyObject*) {
  return cached(self, "_expired_time", [&] {
    PyRef data = global("data");
    const int file_backed = is_instance(attr(data, "_storage"), attr(data, "FileStorage"));
    if (file_backed < 0) return PyRef{};
    if (file_backed) {
      const Py_ssize_t n_cached = length(attr(attr(data, "_storage"), "_cache"));
      if (n_cached < 0) return PyRef{};
      if (n_cached != 0) {
        PyRef names = iterate(call_method(attr(attr(data, "_storage"), "_cache"), "keys"));
        if (!names) return PyRef{};
        PyRef times = PyRef::steal(PyList_New(0));
        if (!times) return PyRef{};
        while (PyRef name = PyRef::steal(PyIter_Next(names.get()))) {
          PyRef expiry = call_method(attr(data, "_storage"), "get_time_expired", name);
          const int known = truth(expiry);
          if (known < 0) return PyRef{};
          if (!known) {
            PyRef clock = attr(global("datetime"), "datetime");
            expiry = call_kw(attr(clock, "now"), {}, {{"tz", attr(attr(global("datetime"), "timezone"), "utc")}});
          }
          if (!expiry || PyList_Append(times.get(), expiry.get()) < 0) return PyRef{};
        }
        if (PyErr_Occurred()) return PyRef{};
        return call_method(earliest(times), "timestamp");
      }
    }
    return PyRef::steal(PyUnicode_FromString(""));
  });
}

// Capacity is the 10 % quantile of the money each trade could move when
// taking `percentage_of_volume` of the turnover on its entry and exit days.
PyRef calc_capacity(PyObject* self, PyObject* percentage_of_volume) {
  const int has_turnover = contains(attr(report_attr(self, "trades"), "columns"), "turnover@entry_date");
  if (has_turnover < 0) return {};
  if (!has_turnover) return integer(0);
  PyRef size = call_method(attr(report_attr(self, "trades"), "position"), "abs");
  PyRef entry_turnover = item(report_attr(self, "trades"), "turnover@entry_date");
  PyRef entry_flow = truediv(mul(entry_turnover, percentage_of_volume), size);
  PyRef exit_turnover = item(report_attr(self, "trades"), "turnover@exit_date");
  PyRef exit_flow = truediv(mul(exit_turnover, percentage_of_volume), size);
  PyRef accepted_money_flow = truediv(add(entry_flow, exit_flow), 2);
  return call_method(accepted_money_flow, "quantile", 0.1);
}

PyRef init(PyObject* self, PyObject* report_arg) {
  static constexpr const char* kCaches[] = {"_stats",     "_alpha_beta", "_position_nstocks",
                                            "_monthly_return", "_var_cvar", "_tail_ratio",
                                            "_profit_factor", "_liquidity", "_expired_time"};
  if (PyObject_SetAttrString(self, "report", report_arg) < 0) return {};
  for (const char* cache : kCaches) {
    if (PyObject_SetAttrString(self, cache, Py_None) < 0) return {};
  }
  return PyRef::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// Metrics: accessors

PyRef stat(PyObject* self, PyObject* riskfree_rate, const char* key) {
  return item(call_method(self_ref(self), "_ensure_stats_calculated", riskfree_rate), key);
}

PyRef pair_item(PyObject* self, const char* method, int which) {
  PyRef first, second;
  if (!unpack_pair(call_method(self_ref(self), method), first, second)) return {};
  return which == 0 ? first : second;
}

// No trades gives the integer 0 without reading the column.
template <class Figure>
PyRef trade_figure(PyObject* self, const char* column, Figure figure) {
  const Py_ssize_t n_trades = length(report_attr(self, "trades"));
  if (n_trades < 0) return {};
  if (n_trades == 0) return integer(0);
  return figure(item(report_attr(self, "trades"), column));
}

// The larger of two figures of a liquidity category: `first` unless `second`
// is strictly greater, so a NaN on either side keeps `first`.
PyRef category_ratio(PyObject* self, const char* key, bool exit_first) {
  PyRef table = call_method(self_ref(self), "_ensure_liquidity_calculated");
  const int present = contains(table, key);
  if (present < 0) return {};
  if (!present) return integer(0);
  PyRef entry = item(item(table, key), "entry");
  PyRef exit = item(item(table, key), "exit");
  const PyRef& first = exit_first ? exit : entry;
  const PyRef& second = exit_first ? entry : exit;
  const int second_greater = compare_true(second, first, Py_GT);
  if (second_greater < 0) return {};
  return second_greater ? second : first;
}

PyRef timestamp_of(const PyRef& date) { return call_method(date, "timestamp"); }

// Current or next rebalance date: the weights' name when it is a Timestamp.
// Each step reads the attribute afresh.
PyRef rebalance_date(PyObject* self, const char* weights) {
  PyRef value = report_attr(self, weights);
  if (!value) return {};
  if (value.get() == Py_None) return PyRef::borrow(Py_None);
  const int named = truth(attr(report_attr(self, weights), "name"));
  if (named < 0) return {};
  if (!named) return PyRef::borrow(Py_None);
  const int is_timestamp = is_instance(attr(report_attr(self, weights), "name"), attr(global("pd"), "Timestamp"));
  if (is_timestamp < 0) return {};
  if (!is_timestamp) return PyRef::borrow(Py_None);
  return timestamp_of(attr(report_attr(self, weights), "name"));
}

PyRef curve_date(PyObject* self, long position) {
  PyRef label = item(attr(report_attr(self, "creturn"), "index"), position);
  return timestamp_of(call_method(label, "to_pydatetime"));
}

// ---------------------------------------------------------------------------
// Method table

enum class Kind { init, internal, accessor };
using Body = PyRef (*)(PyObject* self, PyObject* arg);

struct MethodSpec {
  constexpr MethodSpec(const char* name_, Kind kind_, const char* doc_, const char* returns_, const char* param,
                       bool required, double fallback_, Body body_)
      : name(name_),
        kind(kind_),
        doc(doc_),
        returns(returns_),
        params{"self", param},
        n_params(param ? 2 : 1),
        n_required(required ? 2 : 1),
        fallback(fallback_),
        body(body_) {}

  const char* name;
  Kind kind;
  const char* doc;      // full docstring, or the summary line of an accessor
  const char* returns;  // the Returns: entry of an accessor
  std::array<const char*, 2> params;  // "self" and at most one more
  Py_ssize_t n_params;
  Py_ssize_t n_required;
  double fallback;  // default of the optional parameter
  Body body;

  bool takes_arg() const { return n_params == 2; }
};

constexpr const char* kRate = "riskfree_rate";

constexpr MethodSpec internal(const char* name, const char* doc, Body body, const char* param = nullptr,
                              double fallback = 0.0) {
  return {name, Kind::internal, doc, nullptr, param, false, fallback, body};
}
constexpr MethodSpec accessor(const char* name, const char* summary, const char* returns, Body body,
                              bool takes_rate = false) {
  return {name, Kind::accessor, summary, returns, takes_rate ? kRate : nullptr, false, 0.02, body};
}

constexpr MethodSpec kMethods[] = {
    {"__init__", Kind::init,
     "Initialize Metrics with a Report instance.\n        \n        Args:\n            report: The Report "
     "instance containing backtest data\n",
     nullptr, "report", true, 0.0, init},
    internal("_ensure_stats_calculated", "Ensure statistics are calculated and cached.", ensure_stats, kRate, 0.02),
    internal("_ensure_alpha_beta_calculated", "Ensure alpha and beta are calculated and cached.", ensure_alpha_beta),
    internal("_ensure_position_nstocks_calculated", "Ensure position number of stocks is calculated and cached.",
             ensure_position_nstocks),
    internal("_ensure_monthly_return_calculated", "Ensure monthly return is calculated and cached.",
             ensure_monthly_return),
    internal("_ensure_var_cvar_calculated", "Ensure VaR and CVaR are calculated and cached.", ensure_var_cvar),
    internal("_ensure_tail_ratio_calculated", "Ensure tail ratio is calculated and cached.", ensure_tail_ratio),
    internal("_ensure_profit_factor_calculated", "Ensure profit factor is calculated and cached.",
             ensure_profit_factor),
    internal("_ensure_liquidity_calculated", "Ensure liquidity metrics are calculated and cached.", ensure_liquidity),
    internal("_ensure_expired_time_calculated", "Ensure expired time is calculated and cached.",
             ensure_expired_time),
    internal("_calc_capacity", "Calculate capacity metric.", calc_capacity, "percentage_of_volume", 0.05),

    // Settings and calendar
    accessor("start_date", "Get the start date of the backtest as timestamp.", "float: Start date timestamp",
             [](PyObject* self, PyObject*) { return curve_date(self, 0); }),
    accessor("end_date", "Get the end date of the backtest as timestamp.", "float: End date timestamp",
             [](PyObject* self, PyObject*) { return curve_date(self, -1); }),
    accessor("version", "Get the quorex version used for the backtest.", "str: Quorex version",
             [](PyObject*, PyObject*) { return attr(global("quorex"), "__version__"); }),
    accessor("fee_ratio", "Get the fee ratio used in the backtest.", "float: Fee ratio",
             [](PyObject* self, PyObject*) { return report_attr(self, "fee_ratio"); }),
    accessor("tax_ratio", "Get the tax ratio used in the backtest.", "float: Tax ratio",
             [](PyObject* self, PyObject*) { return report_attr(self, "tax_ratio"); }),
    accessor("trade_at", "Get the trade timing used in the backtest.", "str: Trade timing ('open' or other)",
             [](PyObject* self, PyObject*) {
               PyRef trade_at = report_attr(self, "trade_at");
               if (!trade_at) return PyRef{};
               return PyUnicode_Check(trade_at.get()) ? trade_at : to_py("open");
             }),
    accessor("market", "Get the market name used in the backtest.", "str: Market name",
             [](PyObject* self, PyObject*) { return call_method(report_attr(self, "market"), "get_name"); }),
    accessor("freq", "Get the frequency used in the backtest.", "str: Frequency",
             [](PyObject* self, PyObject*) { return call_method(report_attr(self, "market"), "get_freq"); }),
    accessor("expired", "Get the expired time as timestamp.", "float: Expired time timestamp",
             [](PyObject* self, PyObject*) { return call_method(self_ref(self), "_ensure_expired_time_calculated"); }),
    accessor("update_date", "Get the update date as timestamp.", "float: Update date timestamp",
             [](PyObject* self, PyObject*) { return timestamp_of(report_attr(self, "update_date")); }),
    accessor("next_trading_date", "Get the next trading date as timestamp.", "float: Next trading date timestamp",
             [](PyObject* self, PyObject*) { return timestamp_of(report_attr(self, "next_trading_date")); }),
    accessor("current_rebalance_date", "Get the current rebalance date as timestamp.",
             "float or None: Current rebalance date timestamp or None",
             [](PyObject* self, PyObject*) { return rebalance_date(self, "weights"); }),
    accessor("next_rebalance_date", "Get the next rebalance date as timestamp.",
             "float or None: Next rebalance date timestamp or None",
             [](PyObject* self, PyObject*) { return rebalance_date(self, "next_weights"); }),
    accessor("live_performance_start", "Get the live performance start date as timestamp.",
             "float or None: Live performance start timestamp or None",
             [](PyObject* self, PyObject*) {
               const int live = truth(report_attr(self, "live_performance_start"));
               if (live < 0) return PyRef{};
               if (!live) return PyRef::borrow(Py_None);
               return timestamp_of(report_attr(self, "live_performance_start"));
             }),
    accessor("stop_loss", "Get the stop loss setting.", "float or None: Stop loss value or None",
             [](PyObject* self, PyObject*) { return report_attr(self, "stop_loss"); }),
    accessor("take_profit", "Get the take profit setting.", "float or None: Take profit value or None",
             [](PyObject* self, PyObject*) { return report_attr(self, "take_profit"); }),
    accessor("trail_stop", "Get the trail stop setting.", "float or None: Trail stop value or None",
             [](PyObject* self, PyObject*) { return report_attr(self, "trail_stop"); }),

    // Return and risk
    accessor("annual_return", "Get the annual return (CAGR).", "float: Annual return",
             [](PyObject* self, PyObject* rate) { return stat(self, rate, "cagr"); }, true),
    accessor("alpha", "Get the alpha value.", "float: Alpha value",
             [](PyObject* self, PyObject*) { return pair_item(self, "_ensure_alpha_beta_calculated", 0); }),
    accessor("beta", "Get the beta value.", "float: Beta value",
             [](PyObject* self, PyObject*) { return pair_item(self, "_ensure_alpha_beta_calculated", 1); }),
    accessor("avg_n_stock", "Get the average number of stocks.", "float: Average number of stocks",
             [](PyObject* self, PyObject*) {
               return call_method(call_method(self_ref(self), "_ensure_position_nstocks_calculated"), "mean");
             }),
    accessor("max_n_stock", "Get the maximum number of stocks.", "float: Maximum number of stocks",
             [](PyObject* self, PyObject*) {
               return call_method(call_method(self_ref(self), "_ensure_position_nstocks_calculated"), "max");
             }),
    accessor("max_drawdown", "Get the maximum drawdown.", "float: Maximum drawdown",
             [](PyObject* self, PyObject* rate) { return stat(self, rate, "max_drawdown"); }, true),
    accessor("avg_drawdown", "Get the average drawdown.", "float: Average drawdown",
             [](PyObject* self, PyObject* rate) { return stat(self, rate, "avg_drawdown"); }, true),
    accessor("avg_drawdown_days", "Get the average drawdown days.", "float: Average drawdown days",
             [](PyObject* self, PyObject* rate) { return stat(self, rate, "avg_drawdown_days"); }, true),
    accessor("value_at_risk", "Get the Value at Risk (VaR).", "float: Value at Risk",
             [](PyObject* self, PyObject*) { return pair_item(self, "_ensure_var_cvar_calculated", 0); }),
    accessor("cvalue_at_risk", "Get the Conditional Value at Risk (CVaR).", "float: Conditional Value at Risk",
             [](PyObject* self, PyObject*) { return pair_item(self, "_ensure_var_cvar_calculated", 1); }),
    accessor("sharpe_ratio", "Get the Sharpe ratio.", "float: Sharpe ratio",
             [](PyObject* self, PyObject* rate) { return stat(self, rate, "daily_sharpe"); }, true),
    accessor("sortino_ratio", "Get the Sortino ratio.", "float: Sortino ratio",
             [](PyObject* self, PyObject* rate) { return stat(self, rate, "daily_sortino"); }, true),
    accessor("calmar_ratio", "Get the Calmar ratio.", "float: Calmar ratio",
             [](PyObject* self, PyObject* rate) { return stat(self, rate, "calmar"); }, true),
    accessor("volatility", "Get the volatility.", "float: Volatility",
             [](PyObject* self, PyObject* rate) { return stat(self, rate, "daily_vol"); }, true),

    // Trades
    accessor("profit_factor", "Get the profit factor.", "float: Profit factor",
             [](PyObject* self, PyObject*) { return call_method(self_ref(self), "_ensure_profit_factor_calculated"); }),
    accessor("tail_ratio", "Get the tail ratio.", "float: Tail ratio",
             [](PyObject* self, PyObject*) { return call_method(self_ref(self), "_ensure_tail_ratio_calculated"); }),
    accessor("win_rate", "Get the win rate.", "float: Win rate",
             [](PyObject* self, PyObject*) {
               return trade_figure(self, "return",
                                   [](const PyRef& r) { return call_method(compare(r, 0, Py_GT), "mean"); });
             }),
    accessor("m12_win_rate", "Get the 12-month win rate.", "float: 12-month win rate",
             [](PyObject* self, PyObject* rate) { return stat(self, rate, "twelve_month_win_perc"); }, true),
    accessor("expectancy", "Get the expectancy.", "float: Expectancy",
             [](PyObject* self, PyObject*) {
               return trade_figure(self, "return", [](const PyRef& r) { return call_method(r, "mean"); });
             }),
    accessor("mae", "Get the Maximum Adverse Excursion (MAE).", "float: MAE",
             [](PyObject* self, PyObject*) {
               return trade_figure(self, "mae", [](const PyRef& c) { return call_method(c, "mean"); });
             }),
    accessor("mfe", "Get the Maximum Favorable Excursion (MFE).", "float: MFE",
             [](PyObject* self, PyObject*) {
               return trade_figure(self, "gmfe", [](const PyRef& c) { return call_method(c, "mean"); });
             }),

    // Liquidity
    accessor("capacity", "Get the capacity.", "float: Capacity",
             [](PyObject* self, PyObject*) {
               return call_kw(attr(self_ref(self), "_calc_capacity"), {}, {{"percentage_of_volume", 0.05}});
             }),
    accessor("disposal_stock_ratio", "Get the disposal stock ratio.", "float: Disposal stock ratio",
             [](PyObject* self, PyObject*) { return category_ratio(self, "處置股", true); }),
    accessor("warning_stock_ratio", "Get the warning stock ratio.", "float: Warning stock ratio",
             [](PyObject* self, PyObject*) { return category_ratio(self, "警示股", false); }),
    accessor("full_delivery_stock_ratio", "Get the full delivery stock ratio.", "float: Full delivery stock ratio",
             [](PyObject* self, PyObject*) { return category_ratio(self, "全額交割股", false); }),
    accessor("buy_high", "Get the buy high ratio.", "float: Buy high ratio",
             [](PyObject* self, PyObject*) { return category_ratio(self, "buy_high", false); }),
    accessor("sell_low", "Get the sell low ratio.", "float: Sell low ratio",
             [](PyObject* self, PyObject*) { return category_ratio(self, "sell_low", false); }),
};
constexpr std::size_t kMethodCount = std::size(kMethods);

constexpr const char* kClassDoc =
    "Metrics class providing individual access to backtest performance metrics.\n    \n    This class provides "
    "individual methods for accessing various backtest metrics\n    while maintaining the same calculation logic "
    "as the original get_metrics() method.\n";

// The accessor docstring: summary, then an Args: block for the rate-taking
// ones, then the Returns: block, in the class body's indentation.
std::string accessor_doc(const MethodSpec& decl) {
  std::string doc = decl.doc;
  doc += "\n        \n";
  if (decl.takes_arg()) {
    doc += "        Args:\n            riskfree_rate (float): Risk-free rate for calculations\n            \n";
  }
  doc += "        Returns:\n            ";
  doc += decl.returns;
  doc += "\n        ";
  return doc;
}

// "name(self, param=default)\n--\n\n" ahead of the docstring, for inspect.
std::string text_signature(const MethodSpec& decl) {
  std::string signature = std::string(decl.name) + "(self";
  if (decl.takes_arg()) {
    signature += ", ";
    signature += decl.params[1];
    if (decl.n_required < 2) {
      char* text = PyOS_double_to_string(decl.fallback, 'r', 0, 0, nullptr);
      if (text != nullptr) {
        signature += "=";
        signature += text;
        PyMem_Free(text);
      } else {
        PyErr_Clear();  // the signature is a convenience for inspect only
      }
    }
  }
  return signature + ")\n--\n\n";
}

// Methods are functions taking the instance as their first argument, like
// Python functions; the class they are bound to is ignored.
template <std::size_t I>
PyObject* method_trampoline(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr const MethodSpec& decl = kMethods[I];
  const quorex::Signature signature{decl.name, std::span<const char* const>(decl.params.data(), decl.n_params),
                                    decl.n_required};
  std::array<PyObject*, 2> bound{};
  if (!quorex::parse_args(signature, args, nargs, kwnames, bound.data())) return nullptr;
  PyRef fallback;
  if (decl.takes_arg() && bound[1] == nullptr) {
    fallback = PyRef::steal(PyFloat_FromDouble(decl.fallback));
    if (!fallback) return nullptr;
    bound[1] = fallback.get();
  }
  return finish(decl.body(bound[0], bound[1]));
}

// Method definitions and their docstrings live as long as the process: the
// class's functions point into them.
std::array<PyMethodDef, kMethodCount> method_defs;
std::array<std::string, kMethodCount> method_docs;

template <std::size_t... I>
void fill_method_defs(std::index_sequence<I...>) {
  ((method_defs[I] = PyMethodDef{kMethods[I].name, as_cfunction(method_trampoline<I>), METH_FASTCALL | METH_KEYWORDS,
                                 nullptr}),
   ...);
  for (std::size_t i = 0; i < kMethodCount; ++i) {
    const MethodSpec& decl = kMethods[i];
    const std::string doc = decl.kind == Kind::accessor ? accessor_doc(decl) : std::string(decl.doc);
    method_docs[i] = text_signature(decl) + doc;
    method_defs[i].ml_doc = method_docs[i].c_str();
  }
}

// class Metrics: built with type() so it is an ordinary class. Each method is
// a builtin function bound to the class (which gives it the qualified name
// "Metrics.<name>") and taking the instance first; an instancemethod makes
// it bind to instances as a Python function does, and each accessor is
// wrapped in lru_cache(maxsize=1) instead, whose wrapper binds the same way.
PyRef create_metrics_class(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  PyRef ns = PyRef::steal(PyDict_New());
  PyRef doc = to_py(kClassDoc);
  PyRef qualname = to_py("Metrics");
  if (!module_name || !ns || !doc || !qualname) return {};
  if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0) {
    return {};
  }
  // Placeholders keep the class namespace in class-body order; each is
  // replaced below once the class exists.
  for (const MethodSpec& decl : kMethods) {
    if (PyDict_SetItemString(ns.get(), decl.name, Py_None) < 0) return {};
  }
  PyRef cls = call(PyRef::borrow(reinterpret_cast<PyObject*>(&PyType_Type)), "Metrics",
                   tuple(reinterpret_cast<PyObject*>(&PyBaseObject_Type)), ns);
  if (!cls) return {};
  PyRef lru_cache = global("lru_cache");
  for (std::size_t i = 0; i < kMethodCount; ++i) {
    PyRef function = PyRef::steal(PyCFunction_NewEx(&method_defs[i], cls.get(), module_name.get()));
    if (!function) return {};
    PyRef method = kMethods[i].kind == Kind::accessor ? call(call_kw(lru_cache, {}, {{"maxsize", 1}}), function)
                                                      : PyRef::steal(PyInstanceMethod_New(function.get()));
    if (!method || PyObject_SetAttrString(cls.get(), kMethods[i].name, method.get()) < 0) return {};
  }
  return cls;
}

// ---------------------------------------------------------------------------
// Module

PyRef import(const char* name) { return PyRef::steal(PyImport_ImportModule(name)); }

int exec_module(PyObject* module) {
  if (!quorex::import_numpy()) return -1;
  g_namespace = Py_NewRef(PyModule_GetDict(module));
  fill_method_defs(std::make_index_sequence<kMethodCount>{});

  if (!quorex::add_attr(module, "lru_cache", attr(import("functools"), "lru_cache")) ||
      !quorex::add_attr(module, "pd", import("pandas")) || !quorex::add_attr(module, "np", import("numpy")) ||
      !quorex::add_attr(module, "datetime", import("datetime")) ||
      !quorex::add_attr(module, "quorex", import("quorex")) ||
      !quorex::add_attr(module, "data", import("quorex.data"))) {
    return -1;
  }
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (std::size_t i = 0; i < std::size(function_defs); ++i) {
    if (!quorex::add_attr(module, kFunctionNames[i],
                          PyRef::steal(PyCFunction_NewEx(&function_defs[i], nullptr, module_name.get())))) {
      return -1;
    }
  }
  return quorex::add_attr(module, "Metrics", create_metrics_class(module)) ? 0 : -1;
}

PyModuleDef module_def = quorex::module_definition<exec_module>("metrics", nullptr);

}  // namespace

PyMODINIT_FUNC PyInit_metrics() { return PyModuleDef_Init(&module_def); }
