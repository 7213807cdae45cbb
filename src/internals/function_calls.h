// What calling a Python function does with the arguments it is given.
//
// The interpreter's own entry for a Python function (_PyFunction_Vectorcall, then
// _PyEval_Vector) takes a reference to the function, to every argument and to every
// keyword value before anything else, and only then makes the frame and runs code; the
// frame releases them when it ends. Read in the interpreter's code for 3.11, 3.12 and
// 3.13 (release builds disassembled: the references are the first thing done). 3.14
// keeps the values on the frame as stack references, which may borrow, and a function
// may carry an entry of another's making (PyFunction_SetVectorcall), so the answer is
// yes only for those three versions and for a function whose entry is the interpreter's,
// recorded at import from a function made then (before that, an entry of the module's
// own that no function carries stands in for it).
#pragma once

#include <Python.h>

#include <cstddef>

namespace internals {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define ORV_FUNCTION_ENTRY_KNOWN 1

// What no function's entry is: the interpreter's entry until it is recorded.
PyObject* noFunctionEntry(PyObject*, PyObject* const*, std::size_t, PyObject*);

// The interpreter's entry for Python functions, once recorded.
inline vectorcallfunc interpreterFunctionEntry = &noFunctionEntry;

// Whether calling `callable` through its vectorcall entry takes its own references to
// all the arguments before any Python code runs.
inline bool ownsArgumentsBeforeRunning(PyObject* callable) {
  return Py_TYPE(callable) == &PyFunction_Type &&
         reinterpret_cast<PyFunctionObject*>(callable)->vectorcall == interpreterFunctionEntry;
}

// Calls a function for which ownsArgumentsBeforeRunning: what callInPlace does for it.
inline PyObject* callOwningArguments(PyObject* function, PyObject* const* args,
                                     std::size_t nargsf) {
  return interpreterFunctionEntry(function, args, nargsf, nullptr);
}
#else
inline bool ownsArgumentsBeforeRunning(PyObject*) { return false; }
inline PyObject* callOwningArguments(PyObject*, PyObject* const*, std::size_t) {
  return nullptr;  // never called: nothing owns its arguments here
}
#endif

// Records the interpreter's entry for Python functions, at import; false with an error
// set only when the function to read it from could not be made.
bool recordFunctionEntry();

}  // namespace internals
