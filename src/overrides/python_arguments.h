// Native argument values as the Python objects an override receives. Each returns a new
// reference, or null with a Python error set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "../tick_type/tick_type.h"
#include "../tick_type/tick_type_objects.h"
#include "../internals/python_compat.h"

namespace overrides {

inline PyObject* toPython(int value) { return PyLong_FromLong(value); }
inline PyObject* toPython(bool value) { return PyBool_FromLong(value); }
inline PyObject* toPython(double value) { return PyFloat_FromDouble(value); }

// Strict UTF-8 over the full length: zero bytes stay, invalid bytes raise UnicodeDecodeError.
// (Out of line: every operation's bridge converts texts, and inlined into all of them
// it left the compiler too little room to inline what the entries need.)
PyObject* toPython(const std::string& text);

// A TickType (tick_type_objects.h).
using tick_type::toPython;

// Whether `object` is already what toPython(value) makes: an object of the same exact
// type with the same value, which can then be handed on in place of a new one. Ints are
// compared where their value can be read in place; texts only when all-ASCII; a TickType
// only when it is the registered member; a bool when it is the shared object itself.
inline bool isPythonValue(PyObject* object, int value) {
  long held;
  return PyLong_CheckExact(object) && internals::compactIntValue(object, &held) && held == value;
}
inline bool isPythonValue(PyObject* object, double value) {
  // Bit for bit: == would take -0.0 for 0.0 and never match a NaN.
  if (!PyFloat_CheckExact(object)) return false;
  double held = PyFloat_AS_DOUBLE(object);
  return std::memcmp(&held, &value, sizeof value) == 0;
}
// Whether n bytes at a and b are the same, for sizeof(Word) <= n <= 2 * sizeof(Word):
// the first and the last word of each (overlapping where n is less than two words).
template <class Word>
inline bool sameEnds(const char* a, const char* b, std::size_t n) {
  Word a0, a1, b0, b1;
  std::memcpy(&a0, a, sizeof(Word));
  std::memcpy(&b0, b, sizeof(Word));
  std::memcpy(&a1, a + n - sizeof(Word), sizeof(Word));
  std::memcpy(&b1, b + n - sizeof(Word), sizeof(Word));
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}
// Whether n bytes at a and b are the same: texts of 4 to 16 bytes in two overlapping
// loads each, in place; an empty one at once; others by memcmp.
inline bool sameBytes(const char* a, const char* b, std::size_t n) {
  if (n >= 8 && n <= 16) return sameEnds<std::uint64_t>(a, b, n);
  if (n >= 4 && n < 8) return sameEnds<std::uint32_t>(a, b, n);
  return n == 0 || std::memcmp(a, b, n) == 0;
}
inline bool isPythonValue(PyObject* object, const std::string& text) {
  return PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object) &&
         static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)) == text.size() &&
         sameBytes(internals::compactAsciiData(object), text.data(), text.size());
}
inline bool isPythonValue(PyObject* object, bool value) {
  return object == (value ? Py_True : Py_False);
}
// A registered member is the object toPython(value) hands out for its value.
inline bool isPythonValue(PyObject* object, TickType value) {
  PyObject* member = tick_type::registeredMember(value);
  return member != nullptr && object == member;
}
template <class T>
bool isPythonValue(PyObject*, const T&) {
  return false;
}

// Raises the pending error of making the argument at `position` (from 1) of the operation
// `operationIndex` a Python object for its override; a text that is not UTF-8
// (UnicodeDecodeError) has its reason end with the argument and the operation.
[[noreturn, gnu::cold]] void refuseArgumentForOverride(int operationIndex, int position);

}  // namespace overrides
