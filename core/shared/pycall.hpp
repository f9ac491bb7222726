// Calling into Python objects from C++ so that native code reads like the
// Python expression it carries out.
//
// Every helper returns an owned PyRef and propagates failure: when an input
// is null, or an exception is already pending, it does nothing and returns an
// empty PyRef, leaving the first exception in place. A chain of calls can
// therefore be written as a sequence of statements and checked once at the
// end. Multi-argument expressions whose evaluation order matters should be
// spelled as separate statements (C++ leaves argument order unspecified; the
// pending-exception guard keeps later steps from running after a failure).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

#include "pyref.hpp"

namespace quorex::py {

// True when a step may run: all inputs present and no exception pending.
inline bool ready(std::initializer_list<const PyRef*> inputs) {
  for (const PyRef* input : inputs) {
    if (!*input) return false;
  }
  return PyErr_Occurred() == nullptr;
}

// Conversions of call arguments to owned references.
inline PyRef to_py(const PyRef& ref) { return ref; }
inline PyRef to_py(PyObject* obj) { return PyRef::borrow(obj); }
inline PyRef to_py(const char* text) { return PyRef::steal(PyUnicode_FromString(text)); }
inline PyRef to_py(double value) { return PyRef::steal(PyFloat_FromDouble(value)); }
inline PyRef to_py(int value) { return PyRef::steal(PyLong_FromLong(value)); }
inline PyRef to_py(long value) { return PyRef::steal(PyLong_FromLong(value)); }
inline PyRef to_py(long long value) { return PyRef::steal(PyLong_FromLongLong(value)); }

// A keyword argument of call_kw.
struct Kw {
  template <class T>
  Kw(const char* keyword, T&& argument) : name(keyword), value(to_py(std::forward<T>(argument))) {}
  const char* name;
  PyRef value;
};

namespace detail {
inline PyRef vectorcall(const PyRef& callable, const std::vector<PyRef>& positional, const std::vector<Kw>& keywords) {
  if (!ready({&callable})) return {};
  std::vector<PyObject*> raw(positional.size() + keywords.size() + 1, nullptr);
  std::size_t slot = 1;
  for (const PyRef& arg : positional) {
    if (!arg) return {};
    raw[slot++] = arg.get();
  }
  PyRef kwnames;
  if (!keywords.empty()) {
    kwnames = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    if (!kwnames) return {};
    for (std::size_t k = 0; k < keywords.size(); ++k) {
      if (!keywords[k].value) return {};
      PyObject* name = PyUnicode_InternFromString(keywords[k].name);
      if (!name) return {};
      PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(k), name);
      raw[slot++] = keywords[k].value.get();
    }
  }
  if (PyErr_Occurred()) return {};  // a failed argument conversion
  const auto nargs = static_cast<std::size_t>(positional.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET;
  return PyRef::steal(PyObject_Vectorcall(callable.get(), raw.data() + 1, nargs, kwnames.get()));
}
}  // namespace detail

// obj.name
inline PyRef attr(const PyRef& obj, const char* name) {
  if (!ready({&obj})) return {};
  return PyRef::steal(PyObject_GetAttrString(obj.get(), name));
}

// callable(*args)
template <class... Args>
PyRef call(const PyRef& callable, Args&&... args) {
  std::vector<PyRef> positional;
  positional.reserve(sizeof...(Args));
  (positional.push_back(to_py(std::forward<Args>(args))), ...);
  return detail::vectorcall(callable, positional, {});
}

// callable(*positional, **keywords)
inline PyRef call_kw(const PyRef& callable, std::vector<PyRef> positional, std::vector<Kw> keywords) {
  return detail::vectorcall(callable, positional, keywords);
}

// obj.name(*args)
template <class... Args>
PyRef call_method(const PyRef& obj, const char* name, Args&&... args) {
  return call(attr(obj, name), std::forward<Args>(args)...);
}

// obj[key]
template <class Key>
PyRef item(const PyRef& obj, Key&& key) {
  PyRef k = to_py(std::forward<Key>(key));
  if (!ready({&obj, &k})) return {};
  return PyRef::steal(PyObject_GetItem(obj.get(), k.get()));
}

// (a, b, ...)
template <class... Items>
PyRef tuple(Items&&... items) {
  std::array<PyRef, sizeof...(Items)> refs{to_py(std::forward<Items>(items))...};
  for (const PyRef& ref : refs) {
    if (!ref) return {};
  }
  PyRef result = PyRef::steal(PyTuple_New(sizeof...(Items)));
  if (!result) return {};
  for (std::size_t i = 0; i < refs.size(); ++i) {
    PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), refs[i].release());
  }
  return result;
}

// Binary operators; the right operand may be a literal.
namespace detail {
template <class B>
PyRef binary(PyObject* (*op)(PyObject*, PyObject*), const PyRef& a, B&& b) {
  PyRef rhs = to_py(std::forward<B>(b));
  if (!ready({&a, &rhs})) return {};
  return PyRef::steal(op(a.get(), rhs.get()));
}
}  // namespace detail

template <class B>
PyRef add(const PyRef& a, B&& b) { return detail::binary(PyNumber_Add, a, std::forward<B>(b)); }
template <class B>
PyRef sub(const PyRef& a, B&& b) { return detail::binary(PyNumber_Subtract, a, std::forward<B>(b)); }
template <class B>
PyRef mul(const PyRef& a, B&& b) { return detail::binary(PyNumber_Multiply, a, std::forward<B>(b)); }
template <class B>
PyRef truediv(const PyRef& a, B&& b) { return detail::binary(PyNumber_TrueDivide, a, std::forward<B>(b)); }

// a ** b
template <class B>
PyRef power(const PyRef& a, B&& b) {
  PyRef rhs = to_py(std::forward<B>(b));
  if (!ready({&a, &rhs})) return {};
  return PyRef::steal(PyNumber_Power(a.get(), rhs.get(), Py_None));
}

// abs(a)
inline PyRef absolute(const PyRef& a) {
  if (!ready({&a})) return {};
  return PyRef::steal(PyNumber_Absolute(a.get()));
}

// a <op> b as an object (element-wise for pandas), e.g. compare(s, 0, Py_GT).
template <class B>
PyRef compare(const PyRef& a, B&& b, int op) {
  PyRef rhs = to_py(std::forward<B>(b));
  if (!ready({&a, &rhs})) return {};
  return PyRef::steal(PyObject_RichCompare(a.get(), rhs.get(), op));
}

// bool(a <op> b): 1, 0, or -1 with an exception set.
template <class B>
int compare_true(const PyRef& a, B&& b, int op) {
  PyRef rhs = to_py(std::forward<B>(b));
  if (!ready({&a, &rhs})) return -1;
  return PyObject_RichCompareBool(a.get(), rhs.get(), op);
}

// bool(a): 1, 0, or -1 with an exception set.
inline int truth(const PyRef& a) {
  if (!ready({&a})) return -1;
  return PyObject_IsTrue(a.get());
}

// len(a), or -1 with an exception set.
inline Py_ssize_t length(const PyRef& a) {
  if (!ready({&a})) return -1;
  return PyObject_Size(a.get());
}

// key in container: 1, 0, or -1 with an exception set.
template <class Key>
int contains(const PyRef& container, Key&& key) {
  PyRef k = to_py(std::forward<Key>(key));
  if (!ready({&container, &k})) return -1;
  return PySequence_Contains(container.get(), k.get());
}

// isinstance(obj, cls): 1, 0, or -1 with an exception set.
inline int is_instance(const PyRef& obj, const PyRef& cls) {
  if (!ready({&obj, &cls})) return -1;
  return PyObject_IsInstance(obj.get(), cls.get());
}

// iter(obj)
inline PyRef iterate(const PyRef& obj) {
  if (!ready({&obj})) return {};
  return PyRef::steal(PyObject_GetIter(obj.get()));
}

// first, second = obj, with the interpreter's unpacking messages.
inline bool unpack_pair(const PyRef& obj, PyRef& first, PyRef& second) {
  if (!ready({&obj})) return false;
  if (PyTuple_CheckExact(obj.get()) || PyList_CheckExact(obj.get())) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj.get());
    if (size != 2) {
      if (size < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
      } else {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
      }
      return false;
    }
    first = PyRef::borrow(PySequence_Fast_GET_ITEM(obj.get(), 0));
    second = PyRef::borrow(PySequence_Fast_GET_ITEM(obj.get(), 1));
    return true;
  }
  PyRef it = PyRef::steal(PyObject_GetIter(obj.get()));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj.get())->tp_name);
    }
    return false;
  }
  PyRef items[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    items[i] = PyRef::steal(PyIter_Next(it.get()));
    if (!items[i]) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
      }
      return false;
    }
  }
  PyRef extra = PyRef::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
  }
  if (PyErr_Occurred()) return false;
  first = std::move(items[0]);
  second = std::move(items[1]);
  return true;
}

}  // namespace quorex::py
