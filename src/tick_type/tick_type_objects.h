// The Python side of TickType as the bridge needs it: its class and registered members.
#pragma once

#include <Python.h>

namespace bridge {

// Takes the registered members from the class's `values` dictionary; called once, after
// the enumeration is registered.
void rememberTickTypeMembers(PyObject* tickTypeClass);

}  // namespace bridge
