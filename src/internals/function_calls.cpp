#include "function_calls.h"

namespace internals {

#ifdef ORV_FUNCTION_ENTRY_KNOWN
PyObject* noFunctionEntry(PyObject*, PyObject* const*, std::size_t, PyObject*) {
  PyErr_SetString(PyExc_SystemError, "OrvCpp: no function has this entry");
  return nullptr;
}
#endif

bool recordFunctionEntry() {
#ifdef ORV_FUNCTION_ENTRY_KNOWN
  // A function of an empty code object, as every `def` makes one.
  PyCodeObject* code = PyCode_NewEmpty("orv", "entry", 0);
  PyObject* globals = code ? PyDict_New() : nullptr;
  PyObject* function =
      globals ? PyFunction_New(reinterpret_cast<PyObject*>(code), globals) : nullptr;
  if (function) interpreterFunctionEntry = reinterpret_cast<PyFunctionObject*>(function)->vectorcall;
  Py_XDECREF(function);
  Py_XDECREF(globals);
  Py_XDECREF(reinterpret_cast<PyObject*>(code));
  return function != nullptr;
#else
  return true;
#endif
}

}  // namespace internals
