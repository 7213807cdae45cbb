// C API names of newer interpreters, defined for older ones, so the module builds from
// CPython 3.7 on. Boost.Python itself is compiled for one minor version; this only keeps
// our own code portable.
#pragma once

#include <Python.h>

#include <cstddef>

#ifndef Py_TPFLAGS_MANAGED_DICT
// Before 3.11 no instance dictionary is managed by the interpreter.
#define Py_TPFLAGS_MANAGED_DICT 0
#endif

#ifndef Py_TPFLAGS_METHOD_DESCRIPTOR
// Before 3.8 the interpreter has no method-descriptor shortcut to enable.
#define Py_TPFLAGS_METHOD_DESCRIPTOR 0
#endif

#if PY_VERSION_HEX < 0x03080000
// Before 3.8 there is no vectorcall: build the argument tuple.
#define PY_VECTORCALL_ARGUMENTS_OFFSET (static_cast<std::size_t>(1) << (8 * sizeof(std::size_t) - 1))
inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                                     PyObject*) {
  Py_ssize_t count = static_cast<Py_ssize_t>(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
  PyObject* tuple = PyTuple_New(count);
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(tuple, i, args[i]);
  }
  PyObject* result = PyObject_Call(callable, tuple, nullptr);
  Py_DECREF(tuple);
  return result;
}
#elif PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#endif
