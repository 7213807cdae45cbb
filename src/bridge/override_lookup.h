// Finding the Python method that overrides a virtual operation on one instance.
#pragma once

#include <Python.h>

namespace bridge {

// Remembers the class registered for OrvClient (whose own methods never count as
// overrides) and makes the operation names into interned strings, so that every lookup
// hits the interpreter's attribute cache. Called once at import.
void prepareOverrideLookup(PyTypeObject* registeredClass);

// The attribute of `owner` named after the operation, as a new reference, or null when
// there is none: no owner, a failed lookup (its error is discarded), or the registered
// class's own binding of the operation reached through the instance.
PyObject* findOverride(PyObject* owner, int operationIndex);

}  // namespace bridge
