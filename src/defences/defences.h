// The module's defences, by the object each one shapes. Each mends a slot or descriptor
// that legal Python reaches (the surface inventory in docs/reliability.md lists every
// one, with its decision) for every path to it, not for one program. All read the
// record of registered objects (common/registered.h); the module's initialisation installs
// them in the order below, each before anything can use what it shapes.
#pragma once

#include <Python.h>

#include "../common/registered.h"

namespace defences {

// OrvClient's type (client_type/), before any instance exists:
// - `__dict__` takes only a dict (instance_dictionary.cpp);
// - `__weakref__` is read-only (weak_references.cpp);
// - cycles through instance attributes are collectable (collectable_instances.cpp);
// - instances refuse pickling as the library's classes do (refused_pickling.cpp);
// - class attribute assignment never mistakes a failed isinstance() for a match
//   (class_attributes.cpp).
void guardInstanceDictionary();
void guardWeakReferences();
void makeInstancesCollectable();
void refuseToPickleInstances();
void guardClassAttributes();

// TickType (tick_type/):
// - members are made only from 32-bit values, by every route, for TickType, its
//   subclasses and the library's enumeration base (construction.cpp,
//   subclass_allocator.cpp);
// - repr() raises what it meets instead of ending the process (representation.cpp).
void guardTickTypeConstruction();
void giveSubclassesTheAllocator();
void guardRepresentation();

// The entries (entries/): reading `__doc__` raises what it meets (documentation.cpp);
// calls through the library's own function type are bounded like the entries'
// (library_calls.cpp).
void guardDocumentation();
void guardLibraryCalls();

// TickType's rule for a member's value (tick_type/construction.cpp): false with
// OverflowError (or the error of reading it) set when `number` does not fit 32 bits.
bool readTickTypeValue(PyObject* number, int* value);

}  // namespace defences
