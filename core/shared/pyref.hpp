// Owned references to Python objects.
#pragma once

#include <Python.h>

#include <utility>

namespace quorex {

// Holds one strong reference and drops it on destruction. `steal` adopts a
// new reference (typically a C API result, possibly null on error); `borrow`
// takes an extra reference to an object owned elsewhere.
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  static PyRef steal(PyObject* obj) noexcept {
    PyRef ref;
    ref.obj_ = obj;
    return ref;
  }
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return steal(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void reset() noexcept { Py_CLEAR(obj_); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace quorex
