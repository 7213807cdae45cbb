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
#include "../../internals/type_slots.h"
#include "../defences.h"

namespace {

PyObject* boundedCall(PyObject* function, PyObject* args, PyObject* keywords) {
  return internals::boundedLibraryCall(function, args, keywords);
}

PyMethodDef callDef = {"__call__",
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&boundedCall)),
                       METH_VARARGS | METH_KEYWORDS, "Call self as a function."};

}  // namespace

void defences::guardLibraryCalls() {
  if constexpr (!internals::libraryIsPrivate) return;
  PyTypeObject* library = common::registered.libraryFunction;
  if (internals::typeCall(library) == &boundedCall) return;  // already in place
  internals::setTypeCall(library, &boundedCall);
  internals::installMethod(library, &callDef);
}
