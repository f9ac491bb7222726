// The Python exception of each excursion failure, with the messages the
// analysis has always raised; shared by every binding of the analysis.
#pragma once

#include <Python.h>

#include "kernel/excursion.hpp"
#include "shared/arrays.hpp"

namespace quorex::binding {

inline void set_error(const kernel::excursion::Error& e) {
  using kernel::excursion::Status;
  switch (e.status) {
    case Status::ok: break;
    case Status::not_subscriptable:
      PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
      break;
    case Status::index_out_of_bounds: quorex::raise_index_error(e.index, 0, e.bound); break;
    case Status::float_division: PyErr_SetString(PyExc_ZeroDivisionError, "float division"); break;
    case Status::integer_division:
      PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
      break;
    case Status::division_overflow:
      PyErr_SetString(PyExc_OverflowError, "value too large to perform division");
      break;
    case Status::record_out_of_bounds:
      PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
      break;
    case Status::exit_before_entry:
      PyErr_Format(PyExc_IndexError, "exit date index %lld precedes entry date index %lld",
                   static_cast<long long>(e.index), static_cast<long long>(e.bound));
      break;
    case Status::negative_length:
      PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
      break;
  }
}

}  // namespace quorex::binding
