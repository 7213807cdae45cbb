// The class of TickType and of its subclasses.
//
// A member keeps its name pointer right after the integer's digits, so no member may be
// allocated with more digits than that layout holds; TickType's allocator refuses them.
// But the interpreter gives every class a class statement makes the generic allocator,
// and int.__new__(Sub, huge) reaches it as soon as no native `__new__` stands in its way
// (after `TickType.__new__ = ...`, for one). So TickType's metaclass is a subclass of
// `type` of the module's own, whose construction hands each new subclass TickType's
// allocator. Every way of making a class with TickType among its bases comes here:
// `type.__new__` defers to the most derived metaclass, and refuses to make a class of a
// metaclass whose construction is not its own.
#include <boost/python/errors.hpp>

#include "../../internals/python_compat.h"
#include "../defences.h"

namespace {

PyTypeObject memberClassType;

PyObject* newMemberClass(PyTypeObject* metatype, PyObject* args, PyObject* kwargs) {
  PyObject* made = PyType_Type.tp_new(metatype, args, kwargs);
  if (made && PyType_Check(made)) {
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(made);
    if (PyType_IsSubtype(cls, common::registered.tickType))
      cls->tp_alloc = common::registered.tickType->tp_alloc;
  }
  return made;
}

}  // namespace

void defences::giveSubclassesTheAllocator() {
  PyTypeObject* tickType = common::registered.tickType;
  if (Py_TYPE(tickType) == &memberClassType) return;  // already in place
  Py_INCREF(&memberClassType);  // held by the module for good, as a static type must be
  memberClassType.tp_name = "OrvCpp.TickTypeClass";
  memberClassType.tp_basicsize = PyType_Type.tp_basicsize;
  memberClassType.tp_itemsize = PyType_Type.tp_itemsize;
  memberClassType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                             Py_TPFLAGS_TYPE_SUBCLASS;
  memberClassType.tp_traverse = PyType_Type.tp_traverse;
  memberClassType.tp_clear = PyType_Type.tp_clear;
  memberClassType.tp_base = &PyType_Type;
  memberClassType.tp_new = &newMemberClass;
  if (PyType_Ready(&memberClassType) < 0) boost::python::throw_error_already_set();
  // TickType's class was `type`, a static type like this one: no reference moves.
  internals::setType(reinterpret_cast<PyObject*>(tickType), &memberClassType);
  common::registered.tickTypeMetaclass = &memberClassType;
}
