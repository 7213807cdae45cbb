// Assignment and deletion of class attributes on OrvClient, its subclasses and every
// other class of the library's metatype.
//
// The library's metatype first looks the name up on the class and, when it finds one of
// its static data descriptors, sets through it. It asks isinstance() for that, and takes
// its -1 (a value whose `__class__` raises, such as a dead weak proxy) for a match: it
// then calls that value's type's absent setter, and the process dies on a plain
// rebinding (`S.broker = None`) or deletion of such an attribute. Here the test is the
// exact type check that no Python code can answer, and everything else is assigned as
// `type` assigns it, exactly as the library then does. Where the library is the module's
// private copy, its metatype's slot and its `__setattr__`/`__delattr__` (which call the
// slot function they were made from) are replaced; a shared library is left as it is.
#include <boost/python/errors.hpp>

#include "../../internals/library_internals.h"
#include "../../internals/python_compat.h"
#include "../../internals/type_slots.h"
#include "../defences.h"

namespace {

PyTypeObject* staticDataType = nullptr;

int setClassAttribute(PyObject* cls, PyObject* name, PyObject* value) {
  if (PyUnicode_Check(name)) {
    PyObject* found = internals::typeAttribute(reinterpret_cast<PyTypeObject*>(cls), name);
    if (found && PyObject_TypeCheck(found, staticDataType) &&
        internals::descriptorSetter(Py_TYPE(found))) {
      // Held for its setter, which may run Python code that rebinds the name.
      Py_INCREF(found);
      int failed = internals::descriptorSetter(Py_TYPE(found))(found, cls, value);
      Py_DECREF(found);
      return failed;
    }
  }
  return internals::typeAttributeSetter(&PyType_Type)(cls, name, value);
}

// `__setattr__(name, value)` and `__delattr__(name)` of the metatype.
PyObject* setAttribute(PyObject* cls, PyObject* args) {
  PyObject *name, *value;
  if (!PyArg_ParseTuple(args, "OO:__setattr__", &name, &value)) return nullptr;
  if (setClassAttribute(cls, name, value) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* deleteAttribute(PyObject* cls, PyObject* name) {
  if (setClassAttribute(cls, name, nullptr) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef setAttributeDef = {"__setattr__", setAttribute, METH_VARARGS,
                               "Implement setattr(self, name, value)."};
PyMethodDef deleteAttributeDef = {"__delattr__", deleteAttribute, METH_O,
                                  "Implement delattr(self, name)."};


}  // namespace

void defences::guardClassAttributes() {
  if constexpr (!internals::libraryIsPrivate) return;
  PyTypeObject* metatype = common::registered.classMetatype;
  staticDataType = internals::libraryStaticDataType();
  internals::setTypeAttributeSetter(metatype, &setClassAttribute);
  internals::installMethod(metatype, &setAttributeDef);
  internals::installMethod(metatype, &deleteAttributeDef);
}
