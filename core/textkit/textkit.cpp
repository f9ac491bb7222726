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

int exec_module(PyObject*) { return 0; }

PyModuleDef module_def = quorex::module_definition<exec_module>("textkit", methods);

}  // namespace

PyMODINIT_FUNC PyInit_textkit() { return PyModuleDef_Init(&module_def); }
