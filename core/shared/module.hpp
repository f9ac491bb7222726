// Module-definition helpers shared by quorex's extension modules.
#pragma once

#include <Python.h>

#include <cstdint>

#include "pyref.hpp"

namespace quorex {

// Py_mod_create slot: a module is loaded into one interpreter per process
// only (its native state is process-wide). Each extension module is its own
// shared library with hidden symbols, so the static below is per module.
inline PyObject* guarded_create(PyObject* spec, PyModuleDef* /*def*/) {
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
  PyRef name = PyRef::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  return PyModule_NewObject(name.get());
}

// First step of a Py_mod_exec slot: refuses to initialise the module twice
// (for instance after it was removed from sys.modules and imported again).
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

// Adds `value` (a new reference, may be null after a failed call) as a module
// attribute; false with the error set on failure.
inline bool add_attr(PyObject* module, const char* name, PyRef value) {
  if (!value) return false;
  return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

}  // namespace quorex
