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
#include "../../internals/type_slots.h"
#include "../defences.h"

namespace {

PyTypeObject memberClassType;

PyObject* newMemberClass(PyTypeObject* metatype, PyObject* args, PyObject* kwargs) {
  PyObject* made = internals::typeConstruction(&PyType_Type)(metatype, args, kwargs);
  if (made && PyType_Check(made)) {
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(made);
    if (PyType_IsSubtype(cls, common::registered.tickType))
      internals::setTypeAllocator(cls, internals::typeAllocator(common::registered.tickType));
  }
  return made;
}

}  // namespace

void defences::giveSubclassesTheAllocator() {
  PyTypeObject* tickType = common::registered.tickType;
  if (Py_TYPE(tickType) == &memberClassType) return;  // already in place
  Py_INCREF(&memberClassType);  // held by the module for good, as a static type must be
  internals::readyTypeSubclass(memberClassType, "OrvCpp.TickTypeClass", &newMemberClass);
  // TickType's class was `type`, a static type like this one: no reference moves.
  internals::setType(reinterpret_cast<PyObject*>(tickType), &memberClassType);
  common::registered.tickTypeMetaclass = &memberClassType;
}
