// TickType as Python sees it: an int subclass with one registered member per listed value.
#include <boost/python/converter/registry.hpp>
#include <boost/python/converter/rvalue_from_python_data.hpp>
#include <boost/python/enum.hpp>
#include <boost/python/make_function.hpp>
#include <climits>

#include "../client/tick_type.h"
#include "registration.h"

namespace {

using boost::python::object;

// str() of a member: its name, or the decimal value for a member made from an unlisted
// value (which has no name attribute at all).
object tickTypeText(object member) {
  if (PyObject* name = PyObject_GetAttrString(member.ptr(), "name")) {
    return object(boost::python::handle<>(name));
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) boost::python::throw_error_already_set();
  PyErr_Clear();
  return object(boost::python::handle<>(PyLong_Type.tp_repr(member.ptr())));
}

// Conversion from Python, tried before the enumeration's own: it accepts the same objects
// (TickType instances only) but refuses a value outside 32 bits with OverflowError
// instead of truncating it.
PyTypeObject* tickTypeClass = nullptr;

void* convertibleTickType(PyObject* source) {
  return PyObject_IsInstance(source, reinterpret_cast<PyObject*>(tickTypeClass)) == 1 ? source
                                                                                      : nullptr;
}

// The value of an int as a native TickType; false with OverflowError (or the error of
// reading it) set when it does not fit 32 bits.
bool readTickTypeValue(PyObject* number, int* value) {
  int overflow = 0;
  long wide = PyLong_AsLongAndOverflow(number, &overflow);
  if (wide == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || wide < INT_MIN || wide > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "TickType value out of range");
    return false;
  }
  *value = static_cast<int>(wide);
  return true;
}

void constructTickType(PyObject* source,
                       boost::python::converter::rvalue_from_python_stage1_data* data) {
  int value = 0;
  if (!readTickTypeValue(source, &value)) boost::python::throw_error_already_set();
  void* storage =
      reinterpret_cast<boost::python::converter::rvalue_from_python_storage<TickType>*>(data)
          ->storage.bytes;
  new (storage) TickType(static_cast<TickType>(value));
  data->convertible = storage;
}

// TickType(...) takes what int(...) takes, but only values that fit the native 32-bit
// enumeration. The library's member objects keep their name pointer right after the
// integer's first digits, so a member made from a very large int would overwrite it and
// crash when printed or freed; refusing such values up front also keeps every member
// convertible to the native type.
PyObject* newTickType(PyObject*, PyObject* args, PyObject* kwargs) {
  Py_ssize_t count = PyTuple_GET_SIZE(args);
  if (count < 1) {
    PyErr_SetString(PyExc_TypeError, "TickType.__new__(): not enough arguments");
    return nullptr;
  }
  PyObject* cls = PyTuple_GET_ITEM(args, 0);
  PyObject* intArgs = PyTuple_GetSlice(args, 1, count);
  if (!intArgs) return nullptr;
  PyObject* value = PyObject_Call(reinterpret_cast<PyObject*>(&PyLong_Type), intArgs, kwargs);
  Py_DECREF(intArgs);
  if (!value) return nullptr;
  int checked = 0;
  if (!readTickTypeValue(value, &checked)) {
    Py_DECREF(value);
    return nullptr;
  }
  PyObject* newArgs = PyTuple_Pack(1, value);
  Py_DECREF(value);
  if (!newArgs) return nullptr;
  PyObject* member = PyLong_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls), newArgs, nullptr);
  Py_DECREF(newArgs);
  return member;
}

// METH_KEYWORDS functions take a third argument; the table stores them as PyCFunction.
PyMethodDef newTickTypeDef = {
    "__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&newTickType)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

void guardTickTypeConstruction(object& tickType) {
  PyObject* function = PyCFunction_New(&newTickTypeDef, nullptr);
  if (!function) boost::python::throw_error_already_set();
  PyObject* method = PyStaticMethod_New(function);
  Py_DECREF(function);
  if (!method) boost::python::throw_error_already_set();
  tickType.attr("__new__") = object(boost::python::handle<>(method));
}

}  // namespace

object registerTickType() {
  boost::python::enum_<TickType> tickType("TickType");
#define ORV_TICK_TYPE(member, number) tickType.value(#member, member);
#include "../client/tick_types.def"

  // Since Python 3.8 int has no __str__ of its own, so without this an unnamed member
  // would print its repr. A type slot alone is not enough for Python subclasses.
  tickType.attr("__str__") = boost::python::make_function(&tickTypeText);

  guardTickTypeConstruction(tickType);

  tickTypeClass = reinterpret_cast<PyTypeObject*>(tickType.ptr());
  boost::python::converter::registry::insert(&convertibleTickType, &constructTickType,
                                             boost::python::type_id<TickType>());
  return tickType;
}
