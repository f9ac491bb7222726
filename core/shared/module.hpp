// Module-definition helpers shared by quorex's extension modules.
#pragma once

#include <Python.h>

#include <cstdint>

#include "pyref.hpp"

namespace quorex {

// Py_mod_create slot: a module is loaded into one interpreter per process
// only (its native state is process-wide). Each extension module is its own
// shared library with hidden symbols, so the static below is per module.
inline PyObject* guarded_create(PyObject* module_spec, PyModuleDef* /*def*/) {
  static std::int64_t owner_interpreter = -1;
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  if (owner_interpreter == -1) {
    owner_interpreter = current;
  } else if (owner_interpreter != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter "
                    "per process.");
    return nullptr;
  }
  PyRef name = PyRef::steal(PyObject_GetAttrString(module_spec, "name"));
  if (!name) return nullptr;
  return PyModule_NewObject(name.get());
}

// Refuses to initialise a module twice (for instance after it was removed
// from sys.modules and imported again): its native state is process-wide.
inline bool claim_first_init(bool& initialised, PyObject* module) {
  if (initialised) {
    PyErr_Format(PyExc_ImportError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 PyModule_GetName(module));
    return false;
  }
  initialised = true;
  return true;
}

// Py_mod_exec slot around a module's own initialisation `Init`, run once per
// process.
template <int (*Init)(PyObject*)>
int exec_once(PyObject* module) {
  static bool initialised = false;
  if (!claim_first_init(initialised, module)) return -1;
  return Init(module);
}

// The slots of every quorex module: guarded creation, `Init` run once, one
// interpreter per process, the GIL held.
template <int (*Init)(PyObject*)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(guarded_create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_once<Init>)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

// The definition of a quorex module named `name` whose initialisation is
// `Init`; `free` releases process-wide native state when the module goes.
template <int (*Init)(PyObject*)>
PyModuleDef module_definition(const char* name, PyMethodDef* methods, freefunc free = nullptr) {
  return {PyModuleDef_HEAD_INIT, name, nullptr, 0, methods, module_slots<Init>, nullptr, nullptr, free};
}

// A METH_FASTCALL (| METH_KEYWORDS) function as the PyCFunction a PyMethodDef holds.
template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Adds `value` (a new reference, may be null after a failed call) as a module
// attribute; false with the error set on failure.
inline bool add_attr(PyObject* module, const char* name, PyRef value) {
  if (!value) return false;
  return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

}  // namespace quorex
