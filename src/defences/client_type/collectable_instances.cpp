// Lets the garbage collector see instance attributes of OrvClient objects.
//
// Instances keep their attribute dictionary in the slot the library's instance type
// provides, and the interpreter's own traversal of a class only visits a dictionary that
// the class added itself. Without a traversal of our own, a cycle through an attribute
// (self.callback = self.placeOrder, or a closure stored on the instance) would never be
// found, and the instance with its native object would live until the process ends.
//
// The interpreter's traversal of a subclass defers to the first traversal of its own
// along the chain of primary bases. For `class T(OtherExtensionClass, OrvClient)` that
// chain would run through the other class, which has the same layout, and never reach
// this one; a layout one word larger than the library's makes OrvClient the primary
// base of every class that derives from it. The word is never used: the library places
// the native object by its own offset, inside the variable-size part.
#include "../../internals/python_compat.h"
#include "../../internals/type_slots.h"
#include "../defences.h"

namespace {

Py_ssize_t dictionaryOffset = 0;

PyObject** instanceDictionary(PyObject* self) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + dictionaryOffset);
}

int traverseInstance(PyObject* self, visitproc visit, void* arg) {
  // Instances of heap types own a reference to their type; a Python subclass visits it
  // itself on interpreters where it does not leave that to its base.
  if (internals::heapBaseVisitsType ||
      internals::typeTraversal(Py_TYPE(self)) == &traverseInstance)
    Py_VISIT(Py_TYPE(self));
  Py_VISIT(*instanceDictionary(self));
  return 0;
}

int clearInstance(PyObject* self) {
  Py_CLEAR(*instanceDictionary(self));
  return 0;
}

}  // namespace

void defences::makeInstancesCollectable() {
  PyTypeObject* cls = common::registered.client;
  // Older interpreters give a class the garbage-collected layout only when its base has
  // it, and the library's instance type does not. No instance exists yet, so the
  // class can still take it.
  if (!PyType_HasFeature(cls, Py_TPFLAGS_HAVE_GC)) internals::makeInstancesCollected(cls);
  // Python subclasses traverse and clear what they add, then defer to these.
  dictionaryOffset = internals::typeDictionaryOffset(cls);
  internals::setTypeTraversal(cls, &traverseInstance, &clearInstance);
  internals::growInstances(cls, static_cast<Py_ssize_t>(sizeof(void*)));
}
