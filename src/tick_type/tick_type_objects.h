// The Python side of TickType as the bridge needs it: its class and registered members.
#pragma once

#include <Python.h>

#include "tick_type.h"

namespace tick_type {

// Takes the registered members from the class's `values` dictionary; called once, after
// the enumeration is registered.
void rememberTickTypeMembers(PyObject* tickTypeClass);

// Registered members by value. Looking a value up here gives the same object as the
// enumeration's own converter (which searches `values` on every call) at a fraction of
// the cost; both live as long as the process.
extern PyObject* membersByValue[maxTickTypeValue + 1];

// The registered member for `value` (borrowed), or null where the value has none.
inline PyObject* registeredMember(TickType value) {
  int number = static_cast<int>(value);
  return number >= 0 && number <= maxTickTypeValue ? membersByValue[number] : nullptr;
}

// The registered TickType member for a listed value, a new unnamed member otherwise.
PyObject* toPython(TickType value);

// The test of the module's own conversion of a Python object to TickType, which it
// registers first and alone (module/register_tick_type.cpp): TickType instances only.
void* convertibleTickType(PyObject* source);

}  // namespace tick_type
