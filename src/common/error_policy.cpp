#include "error_policy.h"

namespace common {
namespace {

// Whether `target` is `start` or along its chain of __context__ (at most a few hundred
// links are followed; a longer or circular chain counts as containing it).
bool inContextChain(PyObject* start, PyObject* target) {
  Py_INCREF(start);
  PyObject* link = start;
  for (int steps = 0; link; ++steps) {
    if (link == target || steps == 256) {
      Py_DECREF(link);
      return true;
    }
    PyObject* next = PyException_GetContext(link);
    Py_DECREF(link);
    link = next;
  }
  return false;
}

// The pending error (which must propagate) gets the earlier one as its __context__,
// unless that would make the chain circular; the earlier error's references are taken.
void chainToPending(PyObject* type, PyObject* value, PyObject* traceback) {
  PyObject *secondType, *second, *secondTraceback;
  PyErr_Fetch(&secondType, &second, &secondTraceback);
  PyErr_NormalizeException(&secondType, &second, &secondTraceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (second && value && PyExceptionInstance_Check(second) && PyExceptionInstance_Check(value) &&
      !inContextChain(value, second)) {
    if (traceback && PyTraceBack_Check(traceback)) PyException_SetTraceback(value, traceback);
    PyException_SetContext(second, value);  // takes the reference
    value = nullptr;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_Restore(secondType, second, secondTraceback);
}

}  // namespace

bool settleSecondaryError(PyObject* type, PyObject* value, PyObject* traceback) {
  if (!PyErr_Occurred() || !keepErrorThatMustPropagate()) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  chainToPending(type, value, traceback);
  return true;
}

}  // namespace common
