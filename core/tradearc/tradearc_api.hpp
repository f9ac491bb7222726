// The native table that quorex.core.tradearc exports in its module attribute
// `__pyx_capi__` and that quorex.core.simloop binds at import.
//
// Each entry is a capsule whose pointer is a function's address, or for a
// variable the address of the module-level variable holding the array, and
// whose name is the signature text below, byte for byte. Importers compare
// the capsule name against these texts before taking the pointer.
#pragma once

#include <Python.h>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#endif
#include <numpy/ndarraytypes.h>

#include <array>
#include <map>
#include <string_view>

namespace quorex::tradearc_api {

using StartAnalysis = void (*)(PyArrayObject* price_values, PyArrayObject* close_values,
                               std::map<int, int> column_map, int n_columns, double fee_ratio,
                               double tax_ratio, int tradearc_window, int tradearc_window_step);
using RecordDate = void (*)(int date_index);
using RecordEntry = void (*)(int column, double position, int charge_entry);
using RecordExit = void (*)(int column, int charge_exit);
using EndAnalysis = PyObject* (*)(std::map<int, double>& held);

struct Entry {
  std::string_view key;
  std::string_view signature;
  bool is_variable;
};

// In export order: variables first, then functions.
inline constexpr std::array<Entry, 7> kTable{{
    {"entry", "PyArrayObject *", true},
    {"position", "PyArrayObject *", true},
    {"start_analysis",
     "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)", false},
    {"record_date", "void (int)", false},
    {"record_entry", "void (int, double, int)", false},
    {"record_exit", "void (int, int)", false},
    {"end_analysis", "PyObject *(std::map<int,double>  &)", false},
}};

inline constexpr const char* kModuleName = "quorex.core.tradearc";

// What an importer holds after binding the table.
struct Functions {
  PyArrayObject** entry = nullptr;
  PyArrayObject** position = nullptr;
  StartAnalysis start_analysis = nullptr;
  RecordDate record_date = nullptr;
  RecordEntry record_entry = nullptr;
  RecordExit record_exit = nullptr;
  EndAnalysis end_analysis = nullptr;
};

}  // namespace quorex::tradearc_api
