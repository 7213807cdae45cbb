// The `__dict__` attribute of OrvClient instances.
//
// The library's instance type provides the dictionary slot and a `__dict__` that accepts
// any object and cannot be deleted safely, while the interpreter's attribute lookup and
// the override lookup expect the slot to hold a dict or nothing. The class gets a
// `__dict__` of its own, which its subclasses find first: the interpreter's standard
// one, which takes only a dict and refuses deletion with TypeError.
#include "registration.h"

namespace {

PyGetSetDef dictionaryAttribute = {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict,
                                   nullptr, nullptr};

}  // namespace

void guardInstanceDictionary(PyTypeObject* cls) {
  PyObject* descriptor = PyDescr_NewGetSet(cls, &dictionaryAttribute);
  if (!descriptor) boost::python::throw_error_already_set();
  int failed = PyDict_SetItemString(cls->tp_dict, "__dict__", descriptor);
  Py_DECREF(descriptor);
  if (failed) boost::python::throw_error_already_set();
  PyType_Modified(cls);
}
