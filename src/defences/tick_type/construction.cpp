// How TickType members come to be. A member is an int followed by the library's name
// pointer, so no member may be allocated with more digits than fit in front of it: every
// route to a new member checks the value's range (construction) or the size (allocator).
#include <boost/python/errors.hpp>
#include <climits>
#include <string>

#include "../../entries/argument_errors.h"
#include "../../internals/library_internals.h"
#include "../../internals/type_slots.h"
#include "../defences.h"
#include "../../common/error_policy.h"

// The value of an int as a native TickType; false with OverflowError (or the error of
// reading it) set when it does not fit 32 bits. (Every TickType argument's conversion
// reads a value, so the text here needs nothing but the range; TickType(v) adds v.)
bool defences::readTickTypeValue(PyObject* number, int* value) {
  int overflow = 0;
  long wide = PyLong_AsLongAndOverflow(number, &overflow);
  if (wide == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || wide < INT_MIN || wide > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError,
                    "TickType value must be between -2147483648 and 2147483647");
    return false;
  }
  *value = static_cast<int>(wide);
  return true;
}

namespace {

// The pending OverflowError of a value out of range, replaced by one that also says the
// value. It is set aside while the value's text is made, whose failure the rule settles.
void nameRefusedValue(PyObject* number) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  std::string text;
  try {
    text = entries::outOfRangeNumber(number);
  } catch (const boost::python::error_already_set&) {
    common::settleSecondaryError(type, value, traceback);
    return;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_Format(PyExc_OverflowError,
               "TickType value must be between -2147483648 and 2147483647, not %s", text.c_str());
}

// TickType(...) takes what int(...) takes, but only values that fit the native 32-bit
// enumeration. The library's member objects keep their name pointer right after the
// integer's first digits, so a member made from a very large int would overwrite it and
// crash when printed or freed; refusing such values up front also keeps every member
// convertible to the native type.
PyObject* constructMember(PyTypeObject* cls, PyObject* intArgs, PyObject* kwargs) {
  PyObject* value = PyObject_Call(reinterpret_cast<PyObject*>(&PyLong_Type), intArgs, kwargs);
  if (!value) return nullptr;
  int checked = 0;
  if (!defences::readTickTypeValue(value, &checked)) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) nameRefusedValue(value);
    Py_DECREF(value);
    return nullptr;
  }
  PyObject* newArgs = PyTuple_Pack(1, value);
  Py_DECREF(value);
  if (!newArgs) return nullptr;
  PyObject* member = internals::typeConstruction(&PyLong_Type)(cls, newArgs, nullptr);
  Py_DECREF(newArgs);
  return member;
}

// The class's construction slot. Being a native slot other than int's, it also makes
// the interpreter refuse int.__new__(TickType, ...) and object.__new__(TickType), which
// would build a member without this check.
PyObject* newTickTypeSlot(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return constructMember(cls, args, kwargs);
}

// TickType.__new__(cls, ...): as int.__new__, `cls` must be TickType or a subclass.
PyObject* newTickType(PyObject*, PyObject* args, PyObject* kwargs) {
  Py_ssize_t count = PyTuple_GET_SIZE(args);
  if (count < 1) {
    PyErr_SetString(PyExc_TypeError, "TickType.__new__(): not enough arguments");
    return nullptr;
  }
  PyObject* cls = PyTuple_GET_ITEM(args, 0);
  if (!PyType_Check(cls)) {
    PyErr_Format(PyExc_TypeError, "TickType.__new__(X): X is not a type object (%.200s)",
                 internals::typeName(Py_TYPE(cls)));
    return nullptr;
  }
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  if (!PyType_IsSubtype(type, common::registered.tickType)) {
    PyErr_Format(PyExc_TypeError, "TickType.__new__(%.200s): %.200s is not a subtype of TickType",
                 internals::typeName(type), internals::typeName(type));
    return nullptr;
  }
  PyObject* intArgs = PyTuple_GetSlice(args, 1, count);
  if (!intArgs) return nullptr;
  PyObject* member = constructMember(type, intArgs, kwargs);
  Py_DECREF(intArgs);
  return member;
}

// The last line of defence: no member object is allocated with more digits than its
// layout holds in front of the name pointer (enough for every 32-bit value).
constexpr Py_ssize_t maxMemberDigits = (32 + PyLong_SHIFT - 1) / PyLong_SHIFT;

PyObject* allocateMember(PyTypeObject* cls, Py_ssize_t digits) {
  if (digits > maxMemberDigits) {
    PyErr_Format(PyExc_OverflowError,
                 "TickType value must be between -2147483648 and 2147483647, not an int of "
                 "more than %d bits",
                 static_cast<int>(maxMemberDigits * PyLong_SHIFT));
    return nullptr;
  }
  return PyType_GenericAlloc(cls, digits);
}

// METH_KEYWORDS functions take a third argument; the table stores them as PyCFunction.
PyMethodDef newTickTypeDef = {
    "__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&newTickType)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace

// Installs the checked construction. Setting `__new__` on the class points its slot at
// a generic caller of that attribute, so the native slot is set after it: last, since
// setting any further special method would reset it.
void defences::guardTickTypeConstruction() {
  PyObject* function = PyCFunction_New(&newTickTypeDef, nullptr);
  if (!function) boost::python::throw_error_already_set();
  PyObject* method = PyStaticMethod_New(function);
  Py_DECREF(function);
  if (!method) boost::python::throw_error_already_set();
  PyObject* tickType = reinterpret_cast<PyObject*>(common::registered.tickType);
  int failed = PyObject_SetAttrString(tickType, "__new__", method);
  Py_DECREF(method);
  if (failed) boost::python::throw_error_already_set();
  PyTypeObject* cls = common::registered.tickType;
  internals::setTypeConstruction(cls, &newTickTypeSlot);
  internals::setTypeAllocator(cls, &allocateMember);
  PyType_Modified(cls);
  // The library's enumeration base has the same layout and int's construction: where
  // it is the module's own, it gets the same checks (its classes made by `type` inherit
  // the construction slot, which also stops int.__new__ for them).
  if constexpr (internals::libraryIsPrivate) {
    internals::setTypeConstruction(common::registered.enumerationBase, &newTickTypeSlot);
    internals::setTypeAllocator(common::registered.enumerationBase, &allocateMember);
    PyType_Modified(common::registered.enumerationBase);
  }
}

