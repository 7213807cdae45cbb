// Warnings about a subclass's methods at its first instantiation (subclass_check.cpp).
#pragma once

#include <Python.h>

namespace module_init {

// Makes the check; called once at import, with the class registered for OrvClient.
void prepareSubclassCheck(PyObject* clientClass);

// Warns about `cls` the first time it is given; raises (error_already_set) only what
// must reach the program (common/error_policy.h).
void checkSubclass(PyTypeObject* cls);

}  // namespace module_init
