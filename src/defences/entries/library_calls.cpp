// Calls through the library's own function type. Every entry is of the module's subtype,
// whose call slot bounds the stack and lets the unwind of an ending thread pass; the
// library's slot, still reachable through the bases (`type(f).__mro__[1].__call__(f, ...)`),
// does neither: recursion through it on a small thread stack overflows the stack, and its
// catch-all stops the unwind. Where the library is the module's private copy, its slot
// and its `__call__` do the same as the subtype's: the library's call, bounded, with its
// C++ exceptions translated as the library translates them.
#include <boost/python/object/function.hpp>

#include "../../internals/library_calls.h"
#include "../../internals/library_internals.h"
#include "../../internals/python_compat.h"
#include "../defences.h"

namespace {

PyObject* libraryCall(const boost::python::objects::function* function, PyObject* args,
                      PyObject* keywords) {
  return function->call(args, keywords);
}

// The function, its argument tuple and keyword dictionary are held for the call: the
// caller may let go of them from inside it (a partial's __setstate__, atexit.unregister).
PyObject* boundedCall(PyObject* function, PyObject* args, PyObject* keywords) {
  if (bridge::stackNearlyExhausted()) return bridge::refuseDeeperCall(" while calling a Python object");
  Py_INCREF(function);
  Py_INCREF(args);
  Py_XINCREF(keywords);
  PyObject* result = internals::callLibrarySlot<PyObject*>(
      nullptr, &libraryCall, static_cast<boost::python::objects::function*>(function), args,
      keywords);
  Py_XDECREF(keywords);
  Py_DECREF(args);
  Py_DECREF(function);
  return result;
}

PyMethodDef callDef = {"__call__",
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&boundedCall)),
                       METH_VARARGS | METH_KEYWORDS, "Call self as a function."};

}  // namespace

void defences::guardLibraryCalls() {
  if constexpr (!internals::libraryIsPrivate) return;
  PyTypeObject* library = registered.libraryFunction;
  if (library->tp_call == &boundedCall) return;  // already in place
  library->tp_call = &boundedCall;
  internals::installMethod(library, &callDef);
}
