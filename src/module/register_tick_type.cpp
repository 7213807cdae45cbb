// TickType as Python sees it: an int subclass with one registered member per listed value.
#include <boost/python/converter/registered.hpp>
#include <boost/python/converter/registry.hpp>
#include <boost/python/converter/rvalue_from_python_data.hpp>
#include <boost/python/enum.hpp>
#include <boost/python/tuple.hpp>
#include <climits>

#include "../entries/entry_function.h"
#include "../internals/python_compat.h"
#include "../tick_type/tick_type.h"
#include "../common/error_policy.h"
#include "../defences/defences.h"
#include "../internals/library_internals.h"
#include "../internals/library_objects.h"
#include "../internals/type_slots.h"
#include "registration.h"
#include "../tick_type/tick_type_objects.h"

namespace module_init {

namespace {

using boost::python::object;

// Refuses, with TypeError, a `self` that is not a TickType (the methods below are plain
// functions of the class, so `TickType.__str__("abc")` reaches them with anything).
void requireTickType(PyObject* self, const char* method) {
  if (PyObject_TypeCheck(self, common::registered.tickType)) return;
  PyErr_Format(PyExc_TypeError, "TickType.%s() requires a TickType object, not '%.200s'", method,
               internals::typeName(Py_TYPE(self)));
  boost::python::throw_error_already_set();
}

// The member's name, or null (with no error set) for a member made from an unlisted
// value, which has no name attribute at all.
PyObject* memberName(PyObject* member) {
  if (PyObject* name = PyObject_GetAttrString(member, "name")) return name;
  // An AttributeError is that answer (the rule drops it); any other error propagates.
  if (!PyErr_ExceptionMatches(PyExc_AttributeError) || common::keepErrorThatMustPropagate())
    boost::python::throw_error_already_set();
  return nullptr;
}

// str() of a member: its name, or the decimal value for an unnamed member.
object tickTypeText(object member) {
  requireTickType(member.ptr(), "__str__");
  if (PyObject* name = memberName(member.ptr())) return object(boost::python::handle<>(name));
  return object(
      boost::python::handle<>(internals::typeRepresentation(&PyLong_Type)(member.ptr())));
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
// any int subclass. The registered members are the ones the import found (a program may
// replace or delete the class's `values`, which then says nothing about them).
object reduceTickType(object member) {
  requireTickType(member.ptr(), "__reduce__");
  // The value as an exact int (before 3.10 PyNumber_Index hands an int subclass back
  // as it is, and a member among its own constructor arguments would recurse). Every
  // member fits 32 bits.
  long value = PyLong_AsLong(member.ptr());
  if (value == -1 && PyErr_Occurred()) boost::python::throw_error_already_set();
  object number(boost::python::handle<>(PyLong_FromLong(value)));
  if (tick_type::registeredMember(static_cast<TickType>(value)) == member.ptr()) {
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

// The second stage of the module's conversion to TickType, after its test
// (tick_type::convertibleTickType) claimed the object: the test's isinstance() is asked
// again for any class but TickType itself (an object whose __class__ said yes may say
// otherwise now, and the test cleared an error it met), and the value is read by
// TickType's rule for a member's value (32 bits).
void constructTickType(PyObject* source,
                       boost::python::converter::rvalue_from_python_stage1_data* data) {
  if (!PyObject_TypeCheck(source, common::registered.tickType)) {
    int instance = PyObject_IsInstance(source, reinterpret_cast<PyObject*>(common::registered.tickType));
    if (instance < 0) boost::python::throw_error_already_set();
    if (instance == 0) {
      PyErr_SetString(PyExc_TypeError, "argument stopped being a TickType during the call");
      boost::python::throw_error_already_set();
    }
  }
  int value = 0;
  if (!defences::readTickTypeValue(source, &value)) boost::python::throw_error_already_set();
  void* storage =
      reinterpret_cast<boost::python::converter::rvalue_from_python_storage<TickType>*>(data)
          ->storage.bytes;
  new (storage) TickType(static_cast<TickType>(value));
  data->convertible = storage;
}

// Defines `name` on the class as the library defines a class's methods (its name, its
// place in the class and with it `__module__`), then gives it the module's function
// subtype (entry_function.h).
void defineTickTypeMethod(object& tickType, const char* name, object (*method)(object)) {
  object function = entries::libraryEntry(method);
  internals::defineClassAttribute(tickType, name, function);
  entries::adoptEntry(function.ptr());
}

}  // namespace

// Outside the anonymous namespace, so that the store below is kept: nothing reads it.
const boost::python::converter::rvalue_from_python_chain* unchainedEnumConverter = nullptr;

object registerTickType() {
  boost::python::enum_<TickType> tickType("TickType");
  for (const TickTypeMember& member : tickTypeMembers) tickType.value(member.name, member.value);

  common::registered.tickType = reinterpret_cast<PyTypeObject*>(tickType.ptr());
  common::registered.enumerationBase = internals::typeBase(common::registered.tickType);
  // Since Python 3.8 int has no __str__ of its own, so without this an unnamed member
  // would print its repr. A type slot alone is not enough for Python subclasses.
  defineTickTypeMethod(tickType, "__str__", &tickTypeText);
  defineTickTypeMethod(tickType, "__reduce__", &reduceTickType);

  boost::python::converter::registry::insert(&tick_type::convertibleTickType, &constructTickType,
                                             boost::python::type_id<TickType>());
  // The enumeration's own converter, now behind this one, accepts the same objects but
  // asks isinstance() a second time: an object whose __class__ answers differently the
  // second time would be claimed with an error pending. This one alone decides; the
  // other is kept here, as the registry would have kept it.
  unchainedEnumConverter = internals::keepOnlyFirstConversion<TickType>(&tick_type::convertibleTickType);
  return tickType;
}

}  // namespace module_init

