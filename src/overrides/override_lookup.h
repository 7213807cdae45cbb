// Finding the Python method that overrides a virtual operation on one instance.
#pragma once

#include <Python.h>

namespace overrides {

// Remembers the registered class's own entries (which never count as overrides) and
// makes the operation names into interned strings, so that every lookup hits the
// interpreter's attribute cache. Called once at import, after registration.
void prepareOverrideLookup();

// What the lookup found for one operation.
struct Override {
  // The attribute of the owner named after the operation, as a new reference; null when
  // there is none: no owner, a failed lookup (its error dropped by the module's rule), or the registered
  // class's own binding of the operation reached through the instance.
  PyObject* callable = nullptr;
  // Set when the attribute is a plain function found on the class, which the attribute
  // lookup would have bound to the owner. `callable` is then that function, to be called
  // with the owner in front of the arguments: the very call the bound method makes,
  // without making the bound method. A bound method always tests true.
  bool takesOwner = false;
};

// The override of the operation at `operationIndex` on `owner`, found by the ordinary
// attribute lookup of the instance (instance dictionary, class hierarchy, descriptors,
// __getattr__).
Override findOverride(PyObject* owner, int operationIndex);

// After a call of the entry registered under the operation's own name failed with
// RecursionError (the exact type; anything else is left as it is): when the entry was
// called from the very function that overrides the operation on `self`'s class, which
// the entry dispatches back to (super().tickPrice() inside tickPrice), adds a line to
// the error's text saying so, once however many calls of the loop it passes through.
void hintRecursionThroughEntry(PyObject* self, int operationIndex);

// After calling `found` failed: when it was not callable at all, replaces the
// interpreter's TypeError ("'dict' object is not callable") by one that names the
// operation, since an attribute that merely shares an operation's name is the usual
// cause. Any other error is left as it is.
void explainUncallableOverride(PyObject* found, int operationIndex);

}  // namespace overrides
