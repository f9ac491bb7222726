// Import side of tradearc's native table: binds every entry of
// `__pyx_capi__` by name, checking each capsule name against its signature.
#pragma once

#include <Python.h>

#include <string>

#include "shared/pyref.hpp"
#include "tradearc/tradearc_api.hpp"

namespace quorex::tradearc_api {

// Looks up one entry; returns its pointer, or nullptr with ImportError
// (missing entry) or TypeError (different signature) set.
inline void* bind_entry(PyObject* table, const char* module_name, const Entry& entry) {
  const char* kind = entry.is_variable ? "variable" : "function";
  const std::string key(entry.key);
  const std::string signature(entry.signature);
  PyObject* capsule = PyDict_GetItemString(table, key.c_str());  // borrowed
  if (capsule == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %s %.200s", module_name, kind,
                 key.c_str());
    return nullptr;
  }
  const char* name = PyCapsule_IsValid(capsule, PyCapsule_GetName(capsule))
                         ? PyCapsule_GetName(capsule)
                         : nullptr;
  if (name == nullptr || signature != name) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)", kind,
                 module_name, key.c_str(), signature.c_str(), name ? name : "(none)");
    return nullptr;
  }
  return PyCapsule_GetPointer(capsule, name);
}

// Imports quorex.core.tradearc into `module_out` and fills `out` in table
// order. The first failure leaves its exception set and returns false.
inline bool bind_table(Functions& out, PyRef& module_out) {
  module_out = PyRef::steal(PyImport_ImportModule(kModuleName));
  if (!module_out) return false;
  PyRef table = PyRef::steal(PyObject_GetAttrString(module_out.get(), "__pyx_capi__"));
  if (!table) return false;
  if (!PyDict_Check(table.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.__pyx_capi__ is not a dict", kModuleName);
    return false;
  }
  void* pointers[kTable.size()];
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    pointers[i] = bind_entry(table.get(), kModuleName, kTable[i]);
    if (pointers[i] == nullptr) return false;
  }
  out.entry = static_cast<PyArrayObject**>(pointers[0]);
  out.position = static_cast<PyArrayObject**>(pointers[1]);
  out.start_analysis = reinterpret_cast<StartAnalysis>(pointers[2]);
  out.record_date = reinterpret_cast<RecordDate>(pointers[3]);
  out.record_entry = reinterpret_cast<RecordEntry>(pointers[4]);
  out.record_exit = reinterpret_cast<RecordExit>(pointers[5]);
  out.end_analysis = reinterpret_cast<EndAnalysis>(pointers[6]);
  return true;
}

}  // namespace quorex::tradearc_api
