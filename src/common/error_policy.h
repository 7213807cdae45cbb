// The one rule for errors that user code raises where the module would otherwise treat
// a failure as an ordinary answer: a failed override lookup meaning "no override", a
// failed conversion test meaning "does not convert", a subclass check that stays
// silent, an argument error's explanation that does without a detail.
//
// Such an error is dropped only when it is an ordinary Exception. What is not an
// Exception at all (KeyboardInterrupt, SystemExit, GeneratorExit, a program's own
// BaseException) is meant to stop the program; RecursionError and MemoryError say that
// the program cannot go on as if nothing had happened. Those always propagate.
//
// The same rule decides between two errors: code that runs while an earlier error is
// set aside (to explain it, or to add detail to it) and fails in turn has raised a
// secondary error, which either wins (it must propagate: it replaces the earlier one,
// which becomes its __context__, as if it had been raised while handling it) or is
// dropped (the earlier one stands, without the detail).
#pragma once

#include <Python.h>

namespace common {

// Whether the pending error (one must be pending) must reach the program.
inline bool pendingErrorMustPropagate() {
  return !PyErr_ExceptionMatches(PyExc_Exception) ||
         PyErr_ExceptionMatches(PyExc_RecursionError) ||
         PyErr_ExceptionMatches(PyExc_MemoryError);
}

// Applies the rule to the pending error: clears it when it may be dropped and returns
// false, or leaves it pending and returns true.
inline bool keepErrorThatMustPropagate() {
  if (pendingErrorMustPropagate()) return true;
  PyErr_Clear();
  return false;
}

// A secondary failure: the earlier error (type, value, traceback as PyErr_Fetch gave
// them, whose references it takes) was set aside, and the code that ran meanwhile failed
// with the pending error. Applies the rule to that one: when it must propagate it stays
// pending, with the earlier error as its __context__, and the function returns true;
// otherwise (or when nothing is pending) the earlier error is pending again, and it
// returns false.
[[gnu::cold]] bool settleSecondaryError(PyObject* type, PyObject* value, PyObject* traceback);

}  // namespace common
