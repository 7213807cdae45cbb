// The `__dict__` attribute of OrvClient instances.
//
// The library's instance type provides the dictionary slot and a `__dict__` that accepts
// any object and cannot be deleted safely, while the interpreter's attribute lookup and
// the override lookup expect the slot to hold a dict or nothing. The class gets a
// `__dict__` of its own, which its subclasses find first: the interpreter's standard
// one, which takes only a dict and refuses deletion with TypeError.
#include <boost/python/errors.hpp>

#include "../../internals/library_internals.h"
#include "../defences.h"

namespace {

PyGetSetDef dictionaryAttribute = {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict,
                                   nullptr, nullptr};

void installDictionaryAttribute(PyTypeObject* type, PyGetSetDef* attribute) {
  PyObject* descriptor = PyDescr_NewGetSet(type, attribute);
  if (!descriptor) boost::python::throw_error_already_set();
  int failed = PyDict_SetItemString(type->tp_dict, "__dict__", descriptor);
  Py_DECREF(descriptor);
  if (failed) boost::python::throw_error_already_set();
  PyType_Modified(type);
}

// The library's instance type shows the standard descriptor's behaviour for instances
// of OrvClient and its subclasses, and the library's own for every other object (of
// another extension's classes, where the library is shared with one), which is called
// as it was.
PyObject* libraryDescriptor = nullptr;

PyObject* getInstanceDictionary(PyObject* self, void* context) {
  if (PyObject_TypeCheck(self, defences::registered.client)) return PyObject_GenericGetDict(self, context);
  return Py_TYPE(libraryDescriptor)
      ->tp_descr_get(libraryDescriptor, self, reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

int setInstanceDictionary(PyObject* self, PyObject* value, void* context) {
  if (PyObject_TypeCheck(self, defences::registered.client)) return PyObject_GenericSetDict(self, value, context);
  return Py_TYPE(libraryDescriptor)->tp_descr_set(libraryDescriptor, self, value);
}

PyGetSetDef sharedDictionaryAttribute = {"__dict__", getInstanceDictionary, setInstanceDictionary,
                                         nullptr, nullptr};

}  // namespace

void defences::guardInstanceDictionary() {
  PyTypeObject* cls = registered.client;
  installDictionaryAttribute(cls, &dictionaryAttribute);
  // The library's own descriptor stays reachable through the class's bases
  // (`OrvClient.__mro__[1].__dict__["__dict__"].__delete__(client)`). Where the library
  // is the module's private copy, its instance type gets one that treats OrvClient
  // instances as the class's own does; a shared library is left as it is.
  if constexpr (!internals::libraryIsPrivate) return;
  PyTypeObject* instanceType = registered.instanceBase;
  PyObject* found = PyDict_GetItemString(instanceType->tp_dict, "__dict__");
  // A second initialisation in the same process finds its own descriptor there.
  if (!found || !Py_TYPE(found)->tp_descr_get || !Py_TYPE(found)->tp_descr_set ||
      (Py_TYPE(found) == &PyGetSetDescr_Type &&
       reinterpret_cast<PyGetSetDescrObject*>(found)->d_getset == &sharedDictionaryAttribute))
    return;  // not the library's descriptor as known: nothing to mend
  Py_INCREF(found);
  libraryDescriptor = found;
  installDictionaryAttribute(instanceType, &sharedDictionaryAttribute);
}
