#include "type_slots.h"

#include <boost/python/errors.hpp>

namespace internals {

void readyTypeSubclass(PyTypeObject& metatype, const char* name, newfunc construct) {
  metatype.tp_name = name;
  metatype.tp_basicsize = PyType_Type.tp_basicsize;
  metatype.tp_itemsize = PyType_Type.tp_itemsize;
  metatype.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                      Py_TPFLAGS_TYPE_SUBCLASS;
  metatype.tp_traverse = PyType_Type.tp_traverse;
  metatype.tp_clear = PyType_Type.tp_clear;
  metatype.tp_base = &PyType_Type;
  metatype.tp_new = construct;
  if (PyType_Ready(&metatype) < 0) boost::python::throw_error_already_set();
}

void readyFunctionSubtype(PyTypeObject& subtype, PyTypeObject* library, const char* name,
                          Py_ssize_t size, destructor deallocate, ternaryfunc call,
                          PyGetSetDef* attributes, Py_ssize_t vectorcallOffset) {
  subtype.tp_name = name;
  subtype.tp_basicsize = size;
  subtype.tp_dealloc = deallocate;
  subtype.tp_call = call;
  subtype.tp_getset = attributes;
  subtype.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  // A method descriptor must bind through its own slot before readying (debug builds of
  // the interpreter assert it ahead of inheritance): the library's binding, as inherited.
  subtype.tp_descr_get = library->tp_descr_get;
  setVectorcallOffset(&subtype, vectorcallOffset);
  subtype.tp_base = library;
  if (PyType_Ready(&subtype) < 0) boost::python::throw_error_already_set();
}

}  // namespace internals
