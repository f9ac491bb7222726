// _quorex_poison: a test-only NumPy data allocator that fills every new
// array buffer with a chosen byte. Two runs of the same computation under two
// different fill bytes must give bit-identical results; an element that a
// module forgets to write shows up as the fill pattern in one of them.
//
//   _quorex_poison.install(byte)  -- new arrays are filled with `byte`
//   _quorex_poison.uninstall()    -- back to NumPy's default allocator
//
// Arrays remember the allocator that made them, so arrays made while it was
// installed are freed by it later, also after uninstall().
#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "shared/arrays.hpp"
#include "shared/module.hpp"
#include "shared/pyref.hpp"

namespace {

using quorex::PyRef;

int fill_byte = 0xA5;

// Each block starts with a header that keeps the requested size, so that
// realloc can poison exactly the bytes it adds.
constexpr std::size_t kHeader = 2 * alignof(std::max_align_t);

std::size_t& stored_size(void* block) { return *static_cast<std::size_t*>(block); }

void* poison_malloc(void*, std::size_t size) {
  void* block = std::malloc(kHeader + size);
  if (!block) return nullptr;
  stored_size(block) = size;
  char* data = static_cast<char*>(block) + kHeader;
  std::memset(data, fill_byte, size);
  return data;
}

void* poison_calloc(void*, std::size_t nelem, std::size_t elsize) {
  if (elsize != 0 && nelem > (SIZE_MAX - kHeader) / elsize) return nullptr;
  const std::size_t size = nelem * elsize;
  void* block = std::calloc(1, kHeader + size);
  if (!block) return nullptr;
  stored_size(block) = size;
  return static_cast<char*>(block) + kHeader;
}

void* poison_realloc(void* ctx, void* ptr, std::size_t new_size) {
  if (!ptr) return poison_malloc(ctx, new_size);
  void* old_block = static_cast<char*>(ptr) - kHeader;
  const std::size_t old_size = stored_size(old_block);
  void* block = std::realloc(old_block, kHeader + new_size);
  if (!block) return nullptr;
  stored_size(block) = new_size;
  char* data = static_cast<char*>(block) + kHeader;
  if (new_size > old_size) std::memset(data + old_size, fill_byte, new_size - old_size);
  return data;
}

void poison_free(void*, void* ptr, std::size_t) {
  if (ptr) std::free(static_cast<char*>(ptr) - kHeader);
}

PyDataMem_Handler handler = {
    "quorex_poison",
    1,
    {nullptr, poison_malloc, poison_calloc, poison_realloc, poison_free},
};

PyObject* install(PyObject*, PyObject* arg) {
  const long byte = PyLong_AsLong(arg);
  if (byte == -1 && PyErr_Occurred()) return nullptr;
  if (byte < 0 || byte > 255) {
    PyErr_SetString(PyExc_ValueError, "fill byte must be in 0..255");
    return nullptr;
  }
  fill_byte = static_cast<int>(byte);
  PyRef capsule = PyRef::steal(PyCapsule_New(&handler, "mem_handler", nullptr));
  if (!capsule) return nullptr;
  PyRef previous = PyRef::steal(PyDataMem_SetHandler(capsule.get()));
  if (!previous) return nullptr;
  Py_RETURN_NONE;
}

PyObject* uninstall(PyObject*, PyObject*) {
  PyRef previous = PyRef::steal(PyDataMem_SetHandler(nullptr));
  if (!previous) return nullptr;
  Py_RETURN_NONE;
}

template <class F>
PyCFunction fn(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"install", fn(install), METH_O, nullptr},
    {"uninstall", fn(uninstall), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

bool initialised = false;

int exec_module(PyObject* module) {
  if (!quorex::claim_first_init(initialised, module)) return -1;
  return quorex::import_numpy() ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(quorex::guarded_create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quorex_poison", nullptr, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quorex_poison() { return PyModuleDef_Init(&module_def); }
