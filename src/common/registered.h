// The one record of what the module registered, filled in once at import (in this order,
// each as soon as it exists) and read everywhere else. Every type Python can reach from
// the module is here or is the interpreter's own.
#pragma once

#include <Python.h>

namespace common {

struct RegisteredObjects {
  PyTypeObject* tickType = nullptr;          // TickType
  PyTypeObject* tickTypeMetaclass = nullptr;  // its metaclass, a subclass of `type` of ours
  PyTypeObject* enumerationBase = nullptr;    // the library's base of TickType
  PyTypeObject* client = nullptr;             // OrvClient
  PyTypeObject* instanceBase = nullptr;       // the library's base of OrvClient
  PyTypeObject* classMetatype = nullptr;      // the library's metatype, type(OrvClient)
  PyTypeObject* libraryFunction = nullptr;    // the library's function type
  PyTypeObject* entryFunction = nullptr;      // the module's subtype of it (every entry)
};

inline RegisteredObjects registered;

}  // namespace common
