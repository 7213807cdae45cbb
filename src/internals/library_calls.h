// C++ exceptions at the border with the interpreter, translated in one place.
//
// The library's functions and slots throw its error_already_set where they meet a Python
// error, and any C++ exception that leaves a slot through the interpreter's C frames
// ends the process. translatingExceptions is the one handler: an exception becomes the
// pending Python error as the library's own calls translate it, and the unwind of a
// thread that the interpreter ends passes on (forced_unwind.h). Every entry, slot and
// library call of the module's goes through it.
#pragma once

#include <Python.h>

#include <boost/python/errors.hpp>
#include <boost/python/object/function.hpp>

#include "forced_unwind.h"
#include "python_compat.h"

namespace internals {

struct NoStep {
  void operator()() const {}
};

// call(), or `failed` with the pending error of the exception it threw. The library's
// translators may run Python code, so beforeTranslating() runs first (an entry takes its
// references to the caller's objects there); onUnwind() runs before the unwind of an
// ending thread passes on (nothing of the interpreter's may be touched in it).
template <class Result, class Call, class BeforeTranslating = NoStep, class OnUnwind = NoStep>
ORV_PASSES_FORCED_UNWIND inline Result translatingExceptions(Result failed, Call&& call,
                                                              BeforeTranslating beforeTranslating = {},
                                                              OnUnwind onUnwind = {}) {
  try {
    return call();
  } catch (const abi::__forced_unwind&) {
    onUnwind();
    throw;
  } catch (...) {
    beforeTranslating();
    boost::python::handle_exception();
    return failed;
  }
}

// One of the library's own C++ slot functions, called from the module's slot.
template <class Result, class Function, class... Arguments>
Result callLibrarySlot(Result failed, Function function, Arguments... arguments) {
  return translatingExceptions(failed, [&] { return function(arguments...); });
}

// The library's call of one of its function objects (its walk over the overloads), as
// its call slot makes it, bounded by the stack (the walk and a converter or override
// below it take more stack than the interpreter counts). The function, its argument tuple
// and keyword dictionary are held until onFailure() has run after a failed call: the
// caller may let go of them from inside the call (a partial's __setstate__,
// atexit.unregister).
template <class OnFailure = NoStep>
PyObject* boundedLibraryCall(PyObject* function, PyObject* args, PyObject* keywords,
                             OnFailure onFailure = {}) {
  if (stackNearlyExhausted()) return refuseDeeperCall(" while calling a Python object");
  Py_INCREF(function);
  Py_INCREF(args);
  Py_XINCREF(keywords);
  PyObject* result = translatingExceptions<PyObject*>(nullptr, [&] {
    return static_cast<boost::python::objects::function*>(function)->call(args, keywords);
  });
  if (!result) onFailure();
  Py_XDECREF(keywords);
  Py_DECREF(args);
  Py_DECREF(function);
  return result;
}

}  // namespace internals
