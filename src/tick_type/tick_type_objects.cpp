#include "tick_type_objects.h"

#include <boost/python/errors.hpp>

#include "../common/registered.h"
#include "../common/error_policy.h"
#include "../internals/type_slots.h"

namespace tick_type {

PyObject* membersByValue[maxTickTypeValue + 1] = {};

void rememberTickTypeMembers(PyObject* cls) {
  PyObject* values = PyObject_GetAttrString(cls, "values");
  if (!values) boost::python::throw_error_already_set();
  for (int value = 0; value <= maxTickTypeValue; ++value) {
    PyObject* key = PyLong_FromLong(value);
    if (!key) {
      Py_DECREF(values);
      boost::python::throw_error_already_set();
    }
    PyObject* member = PyDict_GetItemWithError(values, key);
    Py_DECREF(key);
    if (!member && PyErr_Occurred()) {
      Py_DECREF(values);
      boost::python::throw_error_already_set();
    }
    Py_XINCREF(member);
    membersByValue[value] = member;
  }
  Py_DECREF(values);
}

// Conversion from Python, tried before the enumeration's own: it accepts the same objects
// (TickType instances only) but refuses a value outside 32 bits with OverflowError
// instead of truncating it.
//
// The enumeration's own converter treats a failed isinstance() (an object whose
// __class__ raises) as a match and then converts with the error pending. This one
// claims such an object with an ordinary error too, so that the other is never asked,
// but clears the error, since other arguments are converted before this one is
// constructed; constructing it asks again and raises what isinstance() raises. An
// error that must propagate (an interrupt) is left pending and nothing is claimed: the
// entries end the call with it before anything is constructed.
void* convertibleTickType(PyObject* source) {
  int instance = PyObject_IsInstance(source, reinterpret_cast<PyObject*>(common::registered.tickType));
  if (instance < 0 && common::keepErrorThatMustPropagate()) return nullptr;
  return instance != 0 ? source : nullptr;
}

PyObject* toPython(TickType value) {
  if (PyObject* member = registeredMember(value)) {
    Py_INCREF(member);
    return member;
  }
  // An unnamed member, made by int's own construction for the class, as calling the
  // class makes it: whatever a user puts in place of the class's `__new__` or
  // `__init__`, the override receives a TickType.
  PyObject* number = PyLong_FromLong(value);
  if (!number) return nullptr;
  PyObject* args = PyTuple_Pack(1, number);
  Py_DECREF(number);
  if (!args) return nullptr;
  PyObject* unnamed =
      internals::typeConstruction(&PyLong_Type)(common::registered.tickType, args, nullptr);
  Py_DECREF(args);
  return unnamed;
}

}  // namespace tick_type
