// Everything in the module that differs between CPython versions: C API names of newer
// interpreters, defined for older ones, and the facts about older interpreters that our
// code has to act on. Boost.Python itself is compiled for one minor version; this keeps
// our own code building and behaving the same from CPython 3.7 on.
//
// Used unchanged on every version from 3.7 to 3.13, with the same meaning: _PyType_Lookup
// (borrowed result, no error set), tp_version_tag with Py_TPFLAGS_VALID_VERSION_TAG,
// tp_dict and tp_dictoffset of heap types, PyUnicode_IS_READY (always true from 3.12).
// Boost.Python's instance<>::objects, value_holder and detail::caller are the same from
// Boost 1.74 to 1.90 for what the bridge uses; the held object's offset is measured at
// run time, not assumed.
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

#if PY_VERSION_HEX < 0x030D0000
// Before 3.13 the attribute lookup that makes no AttributeError for a missing name is
// private (present since 3.7).
inline int PyObject_GetOptionalAttr(PyObject* owner, PyObject* name, PyObject** found) {
  return _PyObject_LookupAttr(owner, name, found);
}
#endif

namespace orv_compat {

// Whether a Python subclass's traversal leaves visiting the instance's type to a base
// that is itself a heap type (3.9 on). Before, the subclass visits the type and then the
// base's tp_traverse, which must then not visit it a second time.
constexpr bool heapBaseVisitsType = PY_VERSION_HEX >= 0x03090000;

}  // namespace orv_compat
