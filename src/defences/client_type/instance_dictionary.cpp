// The `__dict__` attribute of OrvClient instances.
//
// The library's instance type provides the dictionary slot and a `__dict__` that accepts
// any object and cannot be deleted safely (deleting a bare instance's crashes), while
// the interpreter's attribute lookup and the override lookup expect the slot to hold a
// dict or nothing. The class gets a `__dict__` of its own, which its subclasses find
// first: the interpreter's standard one, which takes only a dict and refuses deletion
// with TypeError. The library's own stays reachable through the class's bases
// (`OrvClient.__mro__[1].__dict__["__dict__"]`) and serves the library's bare instances
// and the classes made from that base: where the library is the module's private copy,
// no other extension's objects use it, and it is the standard one too; a shared library
// is left as it is.
#include <boost/python/errors.hpp>

#include "../../internals/library_internals.h"
#include "../defences.h"

namespace {

PyGetSetDef dictionaryAttribute = {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict,
                                   nullptr, nullptr};

void install(PyTypeObject* type) {
  PyObject* descriptor = PyDescr_NewGetSet(type, &dictionaryAttribute);
  if (!descriptor) boost::python::throw_error_already_set();
  internals::replaceTypeAttribute(type, "__dict__", descriptor);
  Py_DECREF(descriptor);
}

}  // namespace

void defences::guardInstanceDictionary() {
  install(registered.client);
  if constexpr (internals::libraryIsPrivate) install(registered.instanceBase);
}
