// Arguments whose conversion cannot fail, converted straight into the parameter.
//
// An entry's arguments are usually exact built-in objects whose native value is known
// without any work that could raise: an int the interpreter keeps in one digit and that
// fits the parameter, a float, True, False or None, an all-ASCII str, bytes, a registered
// TickType member. When every argument of a call is such an object, the order in which
// they are converted, and with it which error the library's call would report first,
// cannot matter, so each value is made as the call's own argument (a prvalue, constructed
// in place of the by-value parameter) instead of in a converter's storage and then moved.
// The value is what the general conversion (entry_arguments.h) gives for the same
// object, on the same condition that the registry still holds only the conversion the
// general path would shortcut; any other object makes the whole call take that path.
#pragma once

#include <Python.h>

#include <climits>
#include <string>

#include "entry_arguments.h"
#include "text_buffers.h"
#include "../internals/library_internals.h"
#include "../internals/python_compat.h"
#include "../tick_type/tick_type.h"
#include "../tick_type/tick_type_objects.h"

namespace bridge {

// applies(object): the object converts without any possible failure; value(object): the
// value, for an object that applies.
template <class T>
struct ExactArgument {
  static bool applies(PyObject*) { return false; }
};

namespace exact {
// The value of an exact int (or bool) kept in one digit that fits an int.
inline bool smallInt(PyObject* object, long* value) {
  return compactIntValue(object, value) && *value >= INT_MIN && *value <= INT_MAX;
}
inline long compactValue(PyObject* object) {
  long value = 0;
  compactIntValue(object, &value);
  return value;
}
}  // namespace exact

template <>
struct ExactArgument<int> {
  [[gnu::always_inline]] static bool applies(PyObject* object) {
    long value;
    return (PyLong_CheckExact(object) || PyBool_Check(object)) && exact::smallInt(object, &value) &&
           onlyBuiltInConversion<int>();
  }
  [[gnu::always_inline]] static int value(PyObject* object) {
    return static_cast<int>(exact::compactValue(object));
  }
};

template <>
struct ExactArgument<bool> {
  [[gnu::always_inline]] static bool applies(PyObject* object) {
    long value;
    return (object == Py_True || object == Py_False || object == Py_None ||
            (PyLong_CheckExact(object) && compactIntValue(object, &value))) &&
           onlyBuiltInConversion<bool>();
  }
  [[gnu::always_inline]] static bool value(PyObject* object) {
    return object == Py_True ||
           (object != Py_False && object != Py_None && exact::compactValue(object) != 0);
  }
};

// An int of one digit is below 2**30 in magnitude (below 2**15 with 15-bit digits), so
// its double is exact: what PyLong_AsDouble gives.
template <>
struct ExactArgument<double> {
  [[gnu::always_inline]] static bool applies(PyObject* object) {
    long value;
    return (PyFloat_CheckExact(object) ||
            (PyLong_CheckExact(object) && compactIntValue(object, &value))) &&
           onlyBuiltInConversion<double>();
  }
  [[gnu::always_inline]] static double value(PyObject* object) {
    return PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object)
                                      : static_cast<double>(exact::compactValue(object));
  }
};

// A str in the interpreter's compact ASCII form is its own UTF-8 encoding. The text is
// copied into storage kept from an earlier call where it needs storage of its own.
template <>
struct ExactArgument<std::string> {
  [[gnu::always_inline]] static bool applies(PyObject* object) {
    return ((PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) ||
            PyBytes_CheckExact(object)) &&
           onlyBuiltInConversion<std::string>();
  }
  [[gnu::always_inline]] static std::string value(PyObject* object) {
    if (PyBytes_CheckExact(object))
      return TextBuffers::text(PyBytes_AS_STRING(object),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    return TextBuffers::text(compactAsciiData(object),
                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
  }
};

// An object of exactly the TickType class (a member, or an unnamed value made by the
// class), while the module's conversion is the registry's only one for TickType: that
// conversion's isinstance() answers at once for the exact class and reads the value.
template <>
struct ExactArgument<TickType> {
  [[gnu::always_inline]] static bool applies(PyObject* object) {
    long value;
    if (Py_TYPE(object) != defences::registered.tickType || !exact::smallInt(object, &value))
      return false;
    const boost::python::converter::rvalue_from_python_chain* chain =
        internals::conversionsTo<TickType>();
    return chain != nullptr && chain->convertible == &convertibleTickType && chain->next == nullptr;
  }
  [[gnu::always_inline]] static TickType value(PyObject* object) {
    return static_cast<TickType>(exact::compactValue(object));
  }
};

}  // namespace bridge
