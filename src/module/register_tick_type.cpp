// TickType as Python sees it: an int subclass with one registered member per listed value.
#include <boost/python/converter/registered.hpp>
#include <boost/python/converter/registry.hpp>
#include <boost/python/converter/rvalue_from_python_data.hpp>
#include <boost/python/enum.hpp>
#include <boost/python/tuple.hpp>
#include <climits>

#include "../bridge/entry_function.h"
#include "../internals/python_compat.h"
#include "../client/tick_type.h"
#include "../defences/error_policy.h"
#include "registration.h"

namespace {

using boost::python::object;

PyTypeObject* tickTypeClass = nullptr;

// Refuses, with TypeError, a `self` that is not a TickType (the methods below are plain
// functions of the class, so `TickType.__str__("abc")` reaches them with anything).
void requireTickType(PyObject* self, const char* method) {
  if (PyObject_TypeCheck(self, tickTypeClass)) return;
  PyErr_Format(PyExc_TypeError, "TickType.%s() requires a TickType object, not '%.200s'", method,
               Py_TYPE(self)->tp_name);
  boost::python::throw_error_already_set();
}

// The member's name, or null (with no error set) for a member made from an unlisted
// value, which has no name attribute at all.
PyObject* memberName(PyObject* member) {
  if (PyObject* name = PyObject_GetAttrString(member, "name")) return name;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) boost::python::throw_error_already_set();
  PyErr_Clear();
  return nullptr;
}

// str() of a member: its name, or the decimal value for an unnamed member.
object tickTypeText(object member) {
  requireTickType(member.ptr(), "__str__");
  if (PyObject* name = memberName(member.ptr())) return object(boost::python::handle<>(name));
  return object(boost::python::handle<>(PyLong_Type.tp_repr(member.ptr())));
}

// The attributes a member was given (its instance dictionary), or null when it has none.
PyObject* memberState(PyObject* member) {
  PyObject* name = PyUnicode_InternFromString("__dict__");
  if (!name) boost::python::throw_error_already_set();
  PyObject* state = nullptr;
  int found = PyObject_GetOptionalAttr(member, name, &state);
  Py_DECREF(name);
  if (found < 0) boost::python::throw_error_already_set();
  if (state && PyDict_Check(state) && PyDict_GET_SIZE(state) == 0) Py_CLEAR(state);
  return state;
}

// Pickling and copying: a registered member is named, so it comes back as that very
// member; any other value (an unnamed member, or a member of a subclass) is rebuilt by
// calling its class with the value, and given back the attributes it was given, as for
// any int subclass.
object reduceTickType(object member) {
  requireTickType(member.ptr(), "__reduce__");
  object values = object(boost::python::handle<>(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(tickTypeClass), "values")));
  // The value as an exact int (before 3.10 PyNumber_Index hands an int subclass back
  // as it is, and a member among its own constructor arguments would recurse).
  long value = PyLong_AsLong(member.ptr());
  if (value == -1 && PyErr_Occurred()) boost::python::throw_error_already_set();
  object number(boost::python::handle<>(PyLong_FromLong(value)));
  PyObject* registered = PyDict_GetItemWithError(values.ptr(), number.ptr());
  if (!registered && PyErr_Occurred()) boost::python::throw_error_already_set();
  if (registered == member.ptr()) {
    if (PyObject* name = memberName(member.ptr())) {
      return "TickType." + object(boost::python::handle<>(name));
    }
  }
  object cls(boost::python::handle<>(boost::python::borrowed(
      reinterpret_cast<PyObject*>(Py_TYPE(member.ptr())))));
  if (PyObject* state = memberState(member.ptr()))
    return boost::python::make_tuple(cls, boost::python::make_tuple(number),
                                     object(boost::python::handle<>(state)));
  return boost::python::make_tuple(cls, boost::python::make_tuple(number));
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
  int instance = PyObject_IsInstance(source, reinterpret_cast<PyObject*>(tickTypeClass));
  if (instance < 0 && defences::keepErrorThatMustPropagate()) return nullptr;
  return instance != 0 ? source : nullptr;
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
  if (!PyObject_TypeCheck(source, tickTypeClass)) {
    int instance = PyObject_IsInstance(source, reinterpret_cast<PyObject*>(tickTypeClass));
    if (instance < 0) boost::python::throw_error_already_set();
    if (instance == 0) {
      PyErr_SetString(PyExc_TypeError, "argument stopped being a TickType during the call");
      boost::python::throw_error_already_set();
    }
  }
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
PyObject* constructMember(PyTypeObject* cls, PyObject* intArgs, PyObject* kwargs) {
  PyObject* value = PyObject_Call(reinterpret_cast<PyObject*>(&PyLong_Type), intArgs, kwargs);
  if (!value) return nullptr;
  int checked = 0;
  if (!readTickTypeValue(value, &checked)) {
    Py_DECREF(value);
    return nullptr;
  }
  PyObject* newArgs = PyTuple_Pack(1, value);
  Py_DECREF(value);
  if (!newArgs) return nullptr;
  PyObject* member = PyLong_Type.tp_new(cls, newArgs, nullptr);
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
                 Py_TYPE(cls)->tp_name);
    return nullptr;
  }
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  if (!PyType_IsSubtype(type, tickTypeClass)) {
    PyErr_Format(PyExc_TypeError, "TickType.__new__(%.200s): %.200s is not a subtype of TickType",
                 type->tp_name, type->tp_name);
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
    PyErr_SetString(PyExc_OverflowError, "TickType value out of range");
    return nullptr;
  }
  return PyType_GenericAlloc(cls, digits);
}

// METH_KEYWORDS functions take a third argument; the table stores them as PyCFunction.
PyMethodDef newTickTypeDef = {
    "__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&newTickType)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

// Installs the checked construction. Setting `__new__` on the class points its slot at
// a generic caller of that attribute, so the native slot is set after it.
void guardTickTypeConstruction(object& tickType) {
  PyObject* function = PyCFunction_New(&newTickTypeDef, nullptr);
  if (!function) boost::python::throw_error_already_set();
  PyObject* method = PyStaticMethod_New(function);
  Py_DECREF(function);
  if (!method) boost::python::throw_error_already_set();
  tickType.attr("__new__") = object(boost::python::handle<>(method));
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(tickType.ptr());
  cls->tp_new = &newTickTypeSlot;
  cls->tp_alloc = &allocateMember;
  PyType_Modified(cls);
  // The native construction slot stops int.__new__ only while no `__new__` is set on
  // the class; the allocator stops every way of making a member, for subclasses too.
  giveSubclassesTheAllocator(cls);
}

// A method of the class: one of the module's functions (entry_function.h).
object tickTypeMethod(object (*method)(object)) {
  object function = bridge::libraryEntry(method);
  bridge::adoptEntry(function.ptr());
  return function;
}

}  // namespace

// Outside the anonymous namespace, so that the store below is kept: nothing reads it.
const boost::python::converter::rvalue_from_python_chain* unchainedEnumConverter = nullptr;

object registerTickType() {
  boost::python::enum_<TickType> tickType("TickType");
#define ORV_TICK_TYPE(member, number) tickType.value(#member, member);
#include "../client/tick_types.def"

  // Since Python 3.8 int has no __str__ of its own, so without this an unnamed member
  // would print its repr. A type slot alone is not enough for Python subclasses.
  tickTypeClass = reinterpret_cast<PyTypeObject*>(tickType.ptr());
  tickType.attr("__str__") = tickTypeMethod(&tickTypeText);
  tickType.attr("__reduce__") = tickTypeMethod(&reduceTickType);

  // Last: setting any further special method would reset the construction slot.
  guardTickTypeConstruction(tickType);

  boost::python::converter::registry::insert(&convertibleTickType, &constructTickType,
                                             boost::python::type_id<TickType>());
  // The enumeration's own converter, now behind this one, accepts the same objects but
  // asks isinstance() a second time: an object whose __class__ answers differently the
  // second time would be claimed with an error pending. This one alone decides.
  auto& registration = const_cast<boost::python::converter::registration&>(
      boost::python::converter::registered<TickType>::converters);
  if (registration.rvalue_chain && registration.rvalue_chain->convertible == &convertibleTickType) {
    // The registry owns its entries for the life of the process; the one taken out of
    // the chain is kept here, as the registry would have kept it.
    unchainedEnumConverter = registration.rvalue_chain->next;
    registration.rvalue_chain->next = nullptr;
  }
  return tickType;
}
