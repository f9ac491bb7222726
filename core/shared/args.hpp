// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions, with the
// messages callers of quorex's native functions see.
#pragma once

#include <Python.h>

#include <span>

namespace quorex {

struct Signature {
  const char* function;                 // name used in messages
  std::span<const char* const> params;  // parameter names, in order
  Py_ssize_t n_required;                // leading parameters without a default
};

// Raises the positional-count TypeError:
// "f() takes exactly|at least|at most N positional argument[s] (G given)".
inline void raise_positional_count(const char* function, Py_ssize_t n_required, Py_ssize_t n_params,
                                   Py_ssize_t given) {
  const bool exact = n_required == n_params;
  const Py_ssize_t bound = (exact || given < n_required) ? n_required : n_params;
  const char* more_or_less = exact ? "exactly" : (given < n_required ? "at least" : "at most");
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function,
               more_or_less, bound, bound == 1 ? "" : "s", given);
}

// Binds positional and keyword arguments to `out` (one slot per parameter,
// borrowed references; nullptr where an optional parameter was not given).
// Returns false with a TypeError set on a count or keyword error.
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** out) {
  const auto n_params = static_cast<Py_ssize_t>(sig.params.size());
  const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > n_params || (n_kw == 0 && nargs < sig.n_required)) {
    raise_positional_count(sig.function, sig.n_required, n_params, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < n_params; ++i) out[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < n_kw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < n_params; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                   sig.params[slot]);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < sig.n_required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", sig.function,
                   sig.params[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace quorex
