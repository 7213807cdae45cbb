// Argument errors in Python's words. When an entry refuses its arguments, the library
// raises its ArgumentError listing the C++ signature; the entry then puts a first line
// in front that names the method, the first argument that does not convert (position
// and name), what was given, what is accepted, and a hint where one helps. Nothing here
// runs for a call that succeeds.
#pragma once

#include <Python.h>

#include <string>

#include "../tick_type/tick_type.h"

namespace entries {

// The Python type a native parameter accepts.
enum class ParameterKind : unsigned char { Int, Bool, Float, Text, TickType };

template <class T>
constexpr ParameterKind parameterKind();
template <>
constexpr ParameterKind parameterKind<int>() { return ParameterKind::Int; }
template <>
constexpr ParameterKind parameterKind<bool>() { return ParameterKind::Bool; }
template <>
constexpr ParameterKind parameterKind<double>() { return ParameterKind::Float; }
template <>
constexpr ParameterKind parameterKind<std::string>() { return ParameterKind::Text; }
template <>
constexpr ParameterKind parameterKind<TickType>() { return ParameterKind::TickType; }

// What an entry's argument errors need to know about it: its name, its parameters after
// self, and a test of which argument a call's arguments are refused at.
struct EntryParameters {
  std::string entry;     // "OrvClient.place_order"
  const char* const* names = nullptr;  // {"order_id", "contract", "order"}, count of them
  const ParameterKind* kinds = nullptr;
  int count = 0;
  // For exactly 1 + count arguments: -1 when all convert, 0 when self is refused,
  // otherwise the position (from 1) of the first argument that is refused.
  int (*firstRefused)(PyObject* const* args) = nullptr;
  // Whether `self` is an instance with its native object (for the constructor: any
  // object, which it checks itself).
  bool (*hasNativeObject)(PyObject* self) = nullptr;
  // For the entry registered under an overridden operation's own name (tickPrice), which
  // dispatches to the instance's method of that name: the operation's index; else -1.
  int operation = -1;
};

// The text of a whole number (an int, or an int subclass read as an int) outside the
// 32-bit range: its digits, or their count when there are many. Called with no error
// pending; throws error_already_set with an error that must propagate
// (common/error_policy.h).
std::string outOfRangeNumber(PyObject* number);

// Names the entry `name` of OrvClient and its parameters (`parameters.count` names, kept
// by pointer) in `parameters`, and the overridden operation it dispatches under its own
// name, if any; called once per entry when it is registered, and throws
// std::logic_error (failing the import) when the entry was described before.
void describeEntry(EntryParameters& parameters, const char* name,
                   const char* const* parameterNames, int operation = -1);

// "a, b, c" of `count` names.
std::string joinedNames(const char* const* names, int count);

// After the library refused a call to the entry described by `parameters` (an error is
// pending): when that error is the library's argument error for these arguments, puts
// the explanation in front of its text, keeping its type. Any other error is left as it
// is. `keywords` is the call's keyword dictionary (or null).
void explainRefusal(const EntryParameters& parameters, PyObject* positional, PyObject* keywords);

// After the conversion of the argument at `position` (from 1), `object`, failed: when
// the error is that of a whole number outside the 32-bit range (OverflowError) or of a
// str that UTF-8 cannot encode (UnicodeEncodeError), names the argument: the
// OverflowError is replaced by one naming it and the range, the UnicodeEncodeError's
// reason ends with it. Anything else is left as it is.
void explainConversion(const EntryParameters& parameters, int position, PyObject* object);

// After a call of the entry with `self` failed: a RecursionError of an entry that
// dispatches to its own override, called from that override, gets the hint that the
// call goes round (override_lookup.h).
void explainFailedCall(const EntryParameters& parameters, PyObject* self);

// After a call through the library's call slot failed (an error is pending): the
// explanation of an argument error or of a failed call, as above.
void explainFailure(const EntryParameters& parameters, PyObject* positional, PyObject* keywords);

}  // namespace entries
