// The `__dict__` attribute of OrvClient instances.
//
// The library's instance type provides the dictionary slot and a `__dict__` that accepts
// any object and cannot be deleted safely (deleting one crashes), while the
// interpreter's attribute lookup and the override lookup expect the slot to hold a dict
// or nothing. The class gets a `__dict__` of its own, which its subclasses find first:
// the interpreter's standard one, which takes only a dict and refuses deletion with
// TypeError.
//
// The library's own stays reachable through the class's bases
// (`OrvClient.__mro__[1].__dict__["__dict__"]`). Where the library is the module's
// private copy, its instance type gets one that gives OrvClient instances and the
// library's bare instances the standard behaviour, refuses deletion for every object,
// and otherwise (an extension linked to the same copy: its classes' objects) reads and
// sets as the library does. A shared library is left as it is.
#include <boost/python/errors.hpp>

#include "../../internals/library_internals.h"
#include "../../internals/type_slots.h"
#include "../defences.h"

namespace {

PyGetSetDef dictionaryAttribute = {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict,
                                   nullptr, nullptr};

PyObject* libraryDescriptor = nullptr;

bool standard(PyObject* self) {
  return PyObject_TypeCheck(self, common::registered.client) ||
         Py_TYPE(self) == common::registered.instanceBase;
}

PyObject* getInstanceDictionary(PyObject* self, void* context) {
  if (standard(self)) return PyObject_GenericGetDict(self, context);
  return internals::descriptorGetter(Py_TYPE(libraryDescriptor))(
      libraryDescriptor, self, reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

int setInstanceDictionary(PyObject* self, PyObject* value, void* context) {
  if (standard(self) || !value) return PyObject_GenericSetDict(self, value, context);
  return internals::descriptorSetter(Py_TYPE(libraryDescriptor))(libraryDescriptor, self, value);
}

PyGetSetDef libraryDictionaryAttribute = {"__dict__", getInstanceDictionary,
                                          setInstanceDictionary, nullptr, nullptr};


}  // namespace

void defences::guardInstanceDictionary() {
  internals::installGetSet(common::registered.client, &dictionaryAttribute);
  if constexpr (!internals::libraryIsPrivate) return;
  PyTypeObject* instanceType = common::registered.instanceBase;
  PyObject* found = PyDict_GetItemString(internals::typeDictionary(instanceType), "__dict__");
  // A second initialisation in the same process finds its own descriptor there.
  if (!found || !internals::descriptorGetter(Py_TYPE(found)) ||
      !internals::descriptorSetter(Py_TYPE(found)) ||
      internals::getsetDefinition(found) == &libraryDictionaryAttribute)
    return;  // not the library's descriptor as known: nothing to mend
  Py_INCREF(found);
  libraryDescriptor = found;
  internals::installGetSet(instanceType, &libraryDictionaryAttribute);
}
