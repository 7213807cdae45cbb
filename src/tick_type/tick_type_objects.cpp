#include "tick_type_objects.h"

#include <boost/python/errors.hpp>

#include "../defences/registered.h"
#include "../overrides/python_arguments.h"

namespace bridge {

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
  PyObject* unnamed = PyLong_Type.tp_new(defences::registered.tickType, args, nullptr);
  Py_DECREF(args);
  return unnamed;
}

}  // namespace bridge
