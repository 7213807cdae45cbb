// The Python side of TickType as the bridge needs it: its class and registered members.
#pragma once

#include <Python.h>

namespace bridge {

// Takes the registered members from the class's `values` dictionary; called once, after
// the enumeration is registered.
void rememberTickTypeMembers(PyObject* tickTypeClass);

// The test of the module's own conversion of a Python object to TickType, which it
// registers first and alone (register_tick_type.cpp): TickType instances only.
void* convertibleTickType(PyObject* source);

}  // namespace bridge
