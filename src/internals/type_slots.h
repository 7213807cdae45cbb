// A type object's slots and flags, read and set by name.
//
// The module reads the slots of types it does not own (to call int's construction
// directly, to tell a getset descriptor, to hint at a conversion) and replaces slots of
// the library's types and its own (the defences). Every such access is here, one small
// function per slot and purpose, so that the rest of the code says what it does with a
// type and not which field it touches. The readers on the dispatch path (typeBase, the
// override lookup's test and its dictionary slot) are inlined where they are used, as
// the field reads they stand for were. Installing a method or a getset descriptor and
// replacing a class attribute are in library_internals.h; setting an object's type is
// python_compat.h's setType.
#pragma once

#include <Python.h>

#include "python_compat.h"

namespace internals {

// The type's name as the interpreter prints it ("module.Class" for a native type).
inline const char* typeName(PyTypeObject* type) { return type->tp_name; }

// The type's layout base (its first base, whose instance layout it extends).
[[gnu::always_inline]] inline PyTypeObject* typeBase(PyTypeObject* type) { return type->tp_base; }

// The type's own attribute dictionary (borrowed), or null before it is readied.
inline PyObject* typeDictionary(PyTypeObject* type) { return type->tp_dict; }

// The type's method resolution order, a tuple (borrowed), or null before it is readied.
inline PyObject* methodResolutionOrder(PyTypeObject* type) { return type->tp_mro; }

// The type's number methods, or null for a type that has none.
inline const PyNumberMethods* numberSlots(PyTypeObject* type) { return type->tp_as_number; }

// The slots a type's objects are made, shown, called and assigned through; a reader and
// a setter each. A setter acts on a type the module owns, or on one of the library's
// while no instance of it is in use.
inline newfunc typeConstruction(PyTypeObject* type) { return type->tp_new; }
inline void setTypeConstruction(PyTypeObject* type, newfunc construct) { type->tp_new = construct; }

inline allocfunc typeAllocator(PyTypeObject* type) { return type->tp_alloc; }
inline void setTypeAllocator(PyTypeObject* type, allocfunc allocate) { type->tp_alloc = allocate; }

inline reprfunc typeRepresentation(PyTypeObject* type) { return type->tp_repr; }
inline void setTypeRepresentation(PyTypeObject* type, reprfunc represent) {
  type->tp_repr = represent;
}

inline ternaryfunc typeCall(PyTypeObject* type) { return type->tp_call; }
inline void setTypeCall(PyTypeObject* type, ternaryfunc call) { type->tp_call = call; }

// The assignment (and deletion, with a null value) of an attribute on the type's objects.
inline setattrofunc typeAttributeSetter(PyTypeObject* type) { return type->tp_setattro; }
inline void setTypeAttributeSetter(PyTypeObject* type, setattrofunc assign) {
  type->tp_setattro = assign;
}

// What a descriptor of this type does when read through an object, and when assigned
// through one: null where it does not.
inline descrgetfunc descriptorGetter(PyTypeObject* type) { return type->tp_descr_get; }
inline descrsetfunc descriptorSetter(PyTypeObject* type) { return type->tp_descr_set; }

// The collector's traversal of the type's objects, or null.
inline traverseproc typeTraversal(PyTypeObject* type) { return type->tp_traverse; }

// Whether the type's objects have a finalizer (`__del__` or a native one) to run.
inline bool typeHasFinalizer(PyTypeObject* type) { return type->tp_finalize != nullptr; }

// Where an instance keeps its attribute dictionary, as an offset from its start (0 for
// none, negative from its end).
inline Py_ssize_t typeDictionaryOffset(PyTypeObject* type) { return type->tp_dictoffset; }

// Whether the type's objects take the interpreter's generic attribute lookup and keep
// their dictionary at a fixed offset of their own (not in one the interpreter manages),
// so that dictionarySlot finds it.
[[gnu::always_inline]] inline bool looksUpGenericallyWithDictionarySlot(PyTypeObject* type) {
  return type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset > 0 &&
         !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT);
}

// The place of the dictionary of `object`, of `type`, for which
// looksUpGenericallyWithDictionarySlot holds.
[[gnu::always_inline]] inline PyObject** dictionarySlot(PyObject* object, PyTypeObject* type) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + type->tp_dictoffset);
}

// The head of the list of weak references to `object` (borrowed), or null when there is
// none or its type keeps no such list.
inline PyObject* weakReferenceListHead(PyObject* object) {
  Py_ssize_t offset = Py_TYPE(object)->tp_weaklistoffset;
  return offset > 0 ? *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offset)
                    : nullptr;
}

// Gives a class the collector's layout and freeing, before any instance of it exists:
// allocation then adds the collector's header and tracks each instance, and freeing
// removes both.
inline void makeInstancesCollected(PyTypeObject* cls) {
  cls->tp_flags |= Py_TPFLAGS_HAVE_GC;
  cls->tp_free = PyObject_GC_Del;
}

// The collector's traversal and clearing of the class's instances.
inline void setTypeTraversal(PyTypeObject* cls, traverseproc traverse, inquiry clear) {
  cls->tp_traverse = traverse;
  cls->tp_clear = clear;
}

// Makes the class's instances `bytes` larger, before any of them exists.
inline void growInstances(PyTypeObject* cls, Py_ssize_t bytes) { cls->tp_basicsize += bytes; }

// Readies `metatype`, a static type object of the module's own not readied before, as a
// subclass of `type` with `type`'s layout and collection, subclassable, named `name`,
// whose construction is `construct`. Throws error_already_set.
void readyTypeSubclass(PyTypeObject& metatype, const char* name, newfunc construct);

// Readies `subtype`, a static type object of the module's own not readied before, as a
// subtype of the library's function type `library` named `name`: objects of `size` bytes
// freed by `deallocate`, called through `call` and, with their arguments in place, through
// the entry at `vectorcallOffset` in each object (null there: through `call`), with the
// getset descriptors `attributes`, and bound to an instance as the library binds its
// functions, with the promise that binding makes a bound method calling the function with
// the instance first (so that the interpreter calls a method without making that bound
// method). Throws error_already_set.
void readyFunctionSubtype(PyTypeObject& subtype, PyTypeObject* library, const char* name,
                          Py_ssize_t size, destructor deallocate, ternaryfunc call,
                          PyGetSetDef* attributes, Py_ssize_t vectorcallOffset);

}  // namespace internals
