// Native argument values as the Python objects an override receives. Each returns a new
// reference, or null with a Python error set.
#pragma once

#include <Python.h>

#include <string>

#include "../client/tick_type.h"

namespace bridge {

inline PyObject* toPython(int value) { return PyLong_FromLong(value); }
inline PyObject* toPython(bool value) { return PyBool_FromLong(value); }
inline PyObject* toPython(double value) { return PyFloat_FromDouble(value); }

// Strict UTF-8 over the full length: zero bytes stay, invalid bytes raise UnicodeDecodeError.
// (Out of line: every operation's bridge converts texts, and inlined into all of them
// it left the compiler too little room to inline what the entries need.)
PyObject* toPython(const std::string& text);

// The registered TickType member for a listed value, a new unnamed member otherwise.
PyObject* toPython(TickType value);

}  // namespace bridge
