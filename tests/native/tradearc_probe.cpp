// _quorex_tradearc_probe: a test-only module that binds tradearc's native
// table the way an importing extension does and calls through the bound
// pointers, so tests exercise the exported entry points themselves.
#include <Python.h>

#include <map>

#include "shared/args.hpp"
#include "shared/arrays.hpp"
#include "shared/module.hpp"
#include "shared/pyref.hpp"
#include "tradearc/tradearc_import.hpp"

namespace {

using quorex::PyRef;
namespace api = quorex::tradearc_api;

api::Functions table;

bool to_int(PyObject* obj, int& out) {
  out = PyLong_AsInt(obj);
  return !(out == -1 && PyErr_Occurred());
}

bool to_double(PyObject* obj, double& out) {
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

template <class V, class Convert>
bool to_map(PyObject* obj, std::map<int, V>& out, Convert convert) {
  if (!PyDict_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected dict, got %.200s", Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    int k = 0;
    V v{};
    if (!to_int(key, k) || !convert(value, v)) return false;
    out[k] = v;
  }
  return true;
}

// None, or the exception the call left pending.
PyObject* outcome() {
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

constexpr const char* kStartParams[] = {"price", "close", "column_map", "n_columns",
                                        "fee", "tax", "window", "step"};
constexpr quorex::Signature kStart{"start_analysis", kStartParams, 8};

PyObject* start_analysis(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[8] = {};
  if (!quorex::parse_args(kStart, args, nargs, kwnames, a)) return nullptr;
  if (!quorex::check_ndarray_arg(a[0], "price") || !quorex::check_ndarray_arg(a[1], "close")) return nullptr;
  std::map<int, int> column_map;
  int n_columns = 0, window = 0, step = 0;
  double fee = 0.0, tax = 0.0;
  if (!to_map<int>(a[2], column_map, to_int) || !to_int(a[3], n_columns) || !to_double(a[4], fee) ||
      !to_double(a[5], tax) || !to_int(a[6], window) || !to_int(a[7], step)) {
    return nullptr;
  }
  table.start_analysis(reinterpret_cast<PyArrayObject*>(a[0]), reinterpret_cast<PyArrayObject*>(a[1]),
                       column_map, n_columns, fee, tax, window, step);
  return outcome();
}

PyObject* record_date(PyObject*, PyObject* arg) {
  int d = 0;
  if (!to_int(arg, d)) return nullptr;
  table.record_date(d);
  return outcome();
}

PyObject* record_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  int column = 0, charge = 0;
  double value = 0.0;
  if (nargs != 3) {
    quorex::raise_positional_count("record_entry", 3, 3, nargs);
    return nullptr;
  }
  if (!to_int(args[0], column) || !to_double(args[1], value) || !to_int(args[2], charge)) return nullptr;
  table.record_entry(column, value, charge);
  return outcome();
}

PyObject* record_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  int column = 0, charge = 0;
  if (nargs != 2) {
    quorex::raise_positional_count("record_exit", 2, 2, nargs);
    return nullptr;
  }
  if (!to_int(args[0], column) || !to_int(args[1], charge)) return nullptr;
  table.record_exit(column, charge);
  return outcome();
}

PyObject* end_analysis(PyObject*, PyObject* arg) {
  std::map<int, double> held;
  if (!to_map<double>(arg, held, to_double)) return nullptr;
  return table.end_analysis(held);
}

// The arrays the exported variables point at right now.
PyObject* exported_arrays(PyObject*, PyObject*) {
  auto current = [](PyArrayObject** slot) {
    return *slot ? reinterpret_cast<PyObject*>(*slot) : Py_None;
  };
  return PyTuple_Pack(2, current(table.entry), current(table.position));
}

template <class F>
PyCFunction fn(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"start_analysis", fn(start_analysis), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"record_date", fn(record_date), METH_O, nullptr},
    {"record_entry", fn(record_entry), METH_FASTCALL, nullptr},
    {"record_exit", fn(record_exit), METH_FASTCALL, nullptr},
    {"end_analysis", fn(end_analysis), METH_O, nullptr},
    {"exported_arrays", fn(exported_arrays), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

bool initialised = false;

int exec_module(PyObject* module) {
  if (!quorex::claim_first_init(initialised, module)) return -1;
  if (!quorex::import_numpy()) return -1;
  PyRef tradearc;
  if (!api::bind_table(table, tradearc)) return -1;
  // Keeps the bound module alive for as long as the pointers are used.
  return quorex::add_attr(module, "tradearc", std::move(tradearc)) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(quorex::guarded_create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quorex_tradearc_probe", nullptr, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quorex_tradearc_probe() { return PyModuleDef_Init(&module_def); }
