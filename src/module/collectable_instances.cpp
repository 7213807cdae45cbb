// Lets the garbage collector see instance attributes of OrvClient objects.
//
// Instances keep their attribute dictionary in the slot the library's instance type
// provides, and the interpreter's own traversal of a class only visits a dictionary that
// the class added itself. Without a traversal of our own, a cycle through an attribute
// (self.callback = self.placeOrder, or a closure stored on the instance) would never be
// found, and the instance with its native object would live until the process ends.
#include "registration.h"

namespace {

Py_ssize_t dictionaryOffset = 0;

PyObject** instanceDictionary(PyObject* self) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + dictionaryOffset);
}

int traverseInstance(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));  // instances of heap types own a reference to their type
  Py_VISIT(*instanceDictionary(self));
  return 0;
}

int clearInstance(PyObject* self) {
  Py_CLEAR(*instanceDictionary(self));
  return 0;
}

}  // namespace

void makeInstancesCollectable(PyTypeObject* cls) {
  // Python subclasses traverse and clear what they add, then defer to these.
  dictionaryOffset = cls->tp_dictoffset;
  cls->tp_traverse = &traverseInstance;
  cls->tp_clear = &clearInstance;
}
