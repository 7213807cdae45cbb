// The `__weakref__` attribute of OrvClient instances.
//
// The library's instance type lists the weak-reference slot as a plain member that may
// be written: `obj.__weakref__ = 42` puts an int where the interpreter keeps the list of
// the object's weak references, and freeing the object then walks it. A Python class
// refuses the write with AttributeError; so do OrvClient (a descriptor of its own, which
// its subclasses find first) and, where the library is the module's private copy, the
// library's instance type, whose own descriptor stays reachable through the class's
// bases.
#include <boost/python/errors.hpp>

#include "../../internals/library_internals.h"
#include "../../internals/type_slots.h"
#include "../defences.h"

namespace {

// The first weak reference to the object, or None, as a Python class's attribute gives it.
PyObject* firstWeakReference(PyObject* self, void*) {
  PyObject* first = internals::weakReferenceListHead(self);
  if (!first) first = Py_None;
  Py_INCREF(first);
  return first;
}

int refuseWrite(PyObject* self, PyObject*, void*) {
  PyErr_Format(PyExc_AttributeError, "attribute '__weakref__' of '%.200s' objects is not writable",
               internals::typeName(Py_TYPE(self)));
  return -1;
}

PyGetSetDef weakReferenceAttribute = {"__weakref__", firstWeakReference, refuseWrite, nullptr,
                                      nullptr};


}  // namespace

void defences::guardWeakReferences() {
  internals::installGetSet(common::registered.client, &weakReferenceAttribute);
  if constexpr (internals::libraryIsPrivate)
    internals::installGetSet(common::registered.instanceBase, &weakReferenceAttribute);
}
