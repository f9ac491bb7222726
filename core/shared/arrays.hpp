// Typed, bounds-aware access to NumPy arrays.
//
// A view is opened once, after one check of the element type and the number
// of dimensions; afterwards elements are read through raw pointers honouring
// the array's strides (pandas routinely hands over Fortran-ordered or sliced
// views). Reads and writes go through memcpy so that unaligned arrays are
// handled without undefined behaviour.
//
// Each extension module includes this header after defining
// PY_ARRAY_UNIQUE_SYMBOL (set by the build); the translation unit that calls
// import_numpy() must not define NO_IMPORT_ARRAY.
#pragma once

#include <Python.h>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#endif
#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernel/views.hpp"

namespace quorex {

// Arrays open as the kernel's own views, so that what a binding opens can be
// handed to the kernel as it is.
using kernel::Matrix;
using kernel::Vector;

// Binds NumPy's C API; fails (ImportError) on a NumPy older than the API
// version the build targets.
inline bool import_numpy() {
  if (PyArray_ImportNumPyAPI() < 0) return false;
  return true;
}

// "Argument 'x' has incorrect type (expected numpy.ndarray, got list)".
// None is let through; the caller decides whether None is usable.
inline bool check_ndarray_arg(PyObject* obj, const char* name) {
  if (obj == Py_None || PyArray_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               "numpy.ndarray", Py_TYPE(obj)->tp_name);
  return false;
}

// The element types quorex reads, with the names its messages use.
template <class T>
struct ElementTraits;
template <>
struct ElementTraits<double> {
  static constexpr const char* name = "float64_t";
  static bool accepts(PyArray_Descr* d) { return d->type_num == NPY_DOUBLE; }
};
template <>
struct ElementTraits<std::int64_t> {
  static constexpr const char* name = "int64_t";
  static bool accepts(PyArray_Descr* d) {
    return (d->type_num == NPY_LONG || d->type_num == NPY_LONGLONG) && PyDataType_ELSIZE(d) == 8;
  }
};
template <>
struct ElementTraits<std::uint8_t> {  // NumPy's bool, one byte of 0 or 1
  static constexpr const char* name = "bool";
  static bool accepts(PyArray_Descr* d) { return d->type_num == NPY_BOOL; }
};
template <>
struct ElementTraits<PyObject*> {
  static constexpr const char* name = "unicode object";
  static bool accepts(PyArray_Descr* d) { return d->type_num == NPY_OBJECT; }
};

// How a dtype is described in "but got ..." of the mismatch message.
inline const char* describe_dtype(PyArray_Descr* d) {
  switch (d->type_num) {
    case NPY_BOOL: return "'bool'";
    case NPY_BYTE: return "'signed char'";
    case NPY_UBYTE: return "'unsigned char'";
    case NPY_SHORT: return "'short'";
    case NPY_USHORT: return "'unsigned short'";
    case NPY_INT: return "'int'";
    case NPY_UINT: return "'unsigned int'";
    case NPY_LONG: return "'long'";
    case NPY_ULONG: return "'unsigned long'";
    case NPY_LONGLONG: return "'long long'";
    case NPY_ULONGLONG: return "'unsigned long long'";
    case NPY_HALF: return "'half'";
    case NPY_FLOAT: return "'float'";
    case NPY_DOUBLE: return "'double'";
    case NPY_LONGDOUBLE: return "'long double'";
    case NPY_CFLOAT: return "'complex float'";
    case NPY_CDOUBLE: return "'complex double'";
    case NPY_CLONGDOUBLE: return "'complex long double'";
    case NPY_OBJECT: return "Python object";
    case NPY_STRING:
    case NPY_UNICODE: return "a string";
    default: return "a struct";
  }
}

// Checks element type, byte order and number of dimensions of `obj` (an
// ndarray) with the messages of a typed buffer.
template <class T>
bool check_buffer(PyArrayObject* arr, int ndim) {
  PyArray_Descr* descr = PyArray_DESCR(arr);
  if (!ElementTraits<T>::accepts(descr) || !PyArray_ISNBO(descr->byteorder)) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                 ElementTraits<T>::name, "'", describe_dtype(descr));
    return false;
  }
  if (PyArray_NDIM(arr) != ndim) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                 PyArray_NDIM(arr));
    return false;
  }
  return true;
}

// NumPy's own wording for an index outside an axis.
inline void raise_index_error(npy_intp index, int axis, npy_intp size) {
  PyErr_Format(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd",
               static_cast<Py_ssize_t>(index), axis, static_cast<Py_ssize_t>(size));
}

// Resolves a possibly negative index the way NumPy does; false (IndexError
// set) when it falls outside [0, size).
inline bool resolve_index(npy_intp& index, int axis, npy_intp size) {
  const npy_intp original = index;
  if (index < 0) index += size;
  if (index < 0 || index >= size) {
    raise_index_error(original, axis, size);
    return false;
  }
  return true;
}

// Opens `obj` (an ndarray; check_ndarray_arg first) as a typed view.
template <class T>
bool open_vector(PyObject* obj, Vector<T>& out) {
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (!check_buffer<T>(arr, 1)) return false;
  out = {static_cast<char*>(PyArray_DATA(arr)), PyArray_DIM(arr, 0), PyArray_STRIDE(arr, 0)};
  return true;
}

template <class T>
bool open_matrix(PyObject* obj, Matrix<T>& out) {
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (!check_buffer<T>(arr, 2)) return false;
  out = {static_cast<char*>(PyArray_DATA(arr)), PyArray_DIM(arr, 0), PyArray_DIM(arr, 1),
         PyArray_STRIDE(arr, 0), PyArray_STRIDE(arr, 1)};
  return true;
}

// Object arrays may hold null slots (never filled); they read as None.
inline PyObject* object_at(const Vector<PyObject*>& v, npy_intp i) noexcept {
  PyObject* item = v[i];
  return item ? item : Py_None;
}

// A NumPy array (ndim 1 or 2, C order) over the memory of `values`, which it
// takes over: the vector lives on in a capsule that the array keeps as its
// base, so results built natively reach Python without a copy. `dims`
// multiply to values.size().
template <class T, class Allocator>
PyObject* array_from_vector(std::vector<T, Allocator>&& values, int type_num, int ndim, const npy_intp* dims) {
  using Owner = std::vector<T, Allocator>;
  if (values.empty()) return PyArray_ZEROS(ndim, const_cast<npy_intp*>(dims), type_num, 0);
  auto* owner = new (std::nothrow) Owner(std::move(values));
  if (owner == nullptr) return PyErr_NoMemory();
  PyObject* capsule = PyCapsule_New(owner, nullptr, [](PyObject* c) {
    delete static_cast<Owner*>(PyCapsule_GetPointer(c, nullptr));
  });
  if (capsule == nullptr) {
    delete owner;
    return nullptr;
  }
  PyObject* array = PyArray_SimpleNewFromData(ndim, const_cast<npy_intp*>(dims), type_num, owner->data());
  if (array == nullptr) {
    Py_DECREF(capsule);
    return nullptr;
  }
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {  // steals capsule
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

template <class T>
PyObject* array_from_vector(std::vector<T>&& values, int type_num) {
  const npy_intp n = static_cast<npy_intp>(values.size());
  return array_from_vector(std::move(values), type_num, 1, &n);
}

}  // namespace quorex
