// _quorex_simloop_probe: a test/bench-only module that runs the backtest
// engine with a host that records nothing, so the cost of the daily loop
// can be told apart from the excursion analysis it normally feeds.
#include <Python.h>

#include <cstdint>
#include <vector>

#include "kernel/engine.hpp"
#include "shared/arrays.hpp"
#include "shared/module.hpp"
#include "shared/pyref.hpp"

namespace {

using quorex::PyRef;
namespace kernel = quorex::kernel;

class CountingHost final : public kernel::Host {
 public:
  CountingHost(bool retain, bool resample, bool stop) : retain_(retain), resample_(resample), stop_(stop) {}
  bool record_date(int) override { return true; }
  bool record_entry(int, double, double, int, double) override {
    ++entries;
    return true;
  }
  bool record_exit(int, int, kernel::ExitReason, double) override {
    ++exits;
    return true;
  }
  bool record_costs(int, kernel::Costs, bool) override { return true; }
  int retain_cost_setting() override { return retain_; }
  int resample_setting() override { return resample_; }
  int stop_trading_next_period() override { return stop_; }
  long entries = 0;
  long exits = 0;

 private:
  bool retain_, resample_, stop_;
};

template <class T>
bool open_optional(PyObject* obj, quorex::Matrix<T>& out) {
  return obj == Py_None || quorex::open_matrix(obj, out);
}

// run_engine(price, close, high, low, open, price_index, pos_values, pos_index,
//            resample, column_of, fee, tax, stop_loss, take_profit, trail_stop,
//            touched_exit, position_limit, retain_cost, stop_trading)
// -> (creturn, entries, exits). Inputs must be consistent; nothing is checked
// beyond element types.
PyObject* run_engine(PyObject*, PyObject* args) {
  PyObject *price, *close, *high, *low, *open, *price_index, *pos_values, *pos_index, *resample, *column_of;
  kernel::Rules rules;
  int touched = 0, retain = 0, stop = 1;
  if (!PyArg_ParseTuple(args, "OOOOOOOOOOdddddpdpp", &price, &close, &high, &low, &open, &price_index,
                        &pos_values, &pos_index, &resample, &column_of, &rules.fee_ratio, &rules.tax_ratio,
                        &rules.stop_loss, &rules.take_profit, &rules.trail_stop, &touched,
                        &rules.position_limit, &retain, &stop)) {
    return nullptr;
  }
  rules.touched_exit = touched;
  rules.retain_cost_when_rebalance = retain;
  kernel::Market m;
  quorex::Vector<std::int64_t> columns;
  if (!quorex::open_matrix(price, m.price) || !quorex::open_matrix(close, m.close) || !open_optional(high, m.high) ||
      !open_optional(low, m.low) || !open_optional(open, m.open) || !quorex::open_vector(price_index, m.price_index) ||
      !quorex::open_matrix(pos_values, m.weights) || !quorex::open_vector(pos_index, m.pos_index) ||
      !quorex::open_vector(resample, m.resample) || !quorex::open_vector(column_of, columns)) {
    return nullptr;
  }
  std::vector<int> column_map(static_cast<std::size_t>(columns.size));
  for (Py_ssize_t j = 0; j < columns.size; ++j) column_map[static_cast<std::size_t>(j)] = static_cast<int>(columns[j]);
  npy_intp n = m.price_index.size;
  PyRef creturn = PyRef::steal(PyArray_EMPTY(1, &n, NPY_DOUBLE, 0));
  if (!creturn) return nullptr;
  CountingHost host(retain, true, stop);
  kernel::Engine run(m, rules, std::move(column_map), host);
  if (run.run(static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(creturn.get())))) !=
      kernel::Status::ok) {
    PyErr_SetString(PyExc_RuntimeError, "engine run failed");
    return nullptr;
  }
  return Py_BuildValue("(Oll)", creturn.get(), host.entries, host.exits);
}

PyMethodDef methods[] = {
    {"run_engine", run_engine, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  return quorex::import_numpy() ? 0 : -1;
}

PyModuleDef module_def = quorex::module_definition<exec_module>("_quorex_simloop_probe", methods);

}  // namespace

PyMODINIT_FUNC PyInit__quorex_simloop_probe() { return PyModuleDef_Init(&module_def); }
