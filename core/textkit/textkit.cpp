// quorex.core.textkit: text to a byte array, one byte per code point.
#include <Python.h>

#include "shared/args.hpp"
#include "shared/module.hpp"
#include "shared/pyref.hpp"

namespace {

using quorex::PyRef;

constexpr const char* kParams[] = {"text"};
constexpr quorex::Signature kSignature{"str_to_bytearray", kParams, 1};

// Byte i is the low eight bits of code point i: Latin-1 for U+0000..U+00FF,
// truncation (not encoding) above.
PyObject* str_to_bytearray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* text = nullptr;
  if (!quorex::parse_args(kSignature, args, nargs, kwnames, &text)) return nullptr;
  if (text == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return nullptr;
  }
  if (!PyUnicode_CheckExact(text)) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "text",
                 "str", Py_TYPE(text)->tp_name);
    return nullptr;
  }
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* storage = PyUnicode_DATA(text);
  PyRef result = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, length));
  if (!result) return nullptr;
  char* bytes = PyByteArray_AS_STRING(result.get());
  for (Py_ssize_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<char>(PyUnicode_READ(kind, storage, i) & 0xFF);
  }
  return result.release();
}

PyMethodDef methods[] = {
    {"str_to_bytearray", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(str_to_bytearray)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

bool initialised = false;

int exec_module(PyObject* module) { return quorex::claim_first_init(initialised, module) ? 0 : -1; }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(quorex::guarded_create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "textkit", nullptr, 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_textkit() { return PyModuleDef_Init(&module_def); }
