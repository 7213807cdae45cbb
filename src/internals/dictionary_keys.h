// Whether looking a name up in a dictionary can run Python code.
//
// A lookup compares the name with every key of the same hash that is not the name
// itself; a key of a type of the program's own runs its `__eq__` there, and that may do
// anything. CPython 3.11 on records in a dictionary's keys object whether every key is an
// exact str (its "kind": a table of str keys, shared by instances or not, which a key of
// any other type turns general for good); looking up an exact str in such a table
// compares characters only. The keys object's layout is private. Its head (a reference
// count, two size bytes, the kind) is the same from 3.11 to 3.15, and the kind is read
// only once checkDictionaryKind() has confirmed at import that the place answers as it
// must for dictionaries of known kinds. Where that cannot be told (before 3.11, a build
// without the interpreter lock, a failed check), every lookup is taken to run Python.
#pragma once

#include <Python.h>

#include <cstdint>

namespace internals {

#if PY_VERSION_HEX >= 0x030B0000 && !defined(Py_GIL_DISABLED)
#define ORV_DICTIONARY_KIND_READABLE 1

// Set by checkDictionaryKind() when the kind reads right.
inline bool dictionaryKindConfirmed = false;

// What every version from 3.11 to 3.15 starts PyDictKeysObject with.
struct DictionaryKeysHead {
  Py_ssize_t referenceCount;
  std::uint8_t log2Size;
  std::uint8_t log2IndexBytes;
  std::uint8_t kind;  // 0 general, 1 str keys only, 2 str keys shared by instances
};

inline std::uint8_t dictionaryKind(PyObject* dict) {
  return reinterpret_cast<const DictionaryKeysHead*>(
             reinterpret_cast<PyDictObject*>(dict)->ma_keys)->kind;
}

// Whether looking up an exact str in `object` compares characters only: it is an exact
// dict whose keys are all exact str.
inline bool lookupRunsNoPythonCode(PyObject* object) {
  return dictionaryKindConfirmed && Py_TYPE(object) == &PyDict_Type &&
         dictionaryKind(object) != 0;
}
#else
inline bool lookupRunsNoPythonCode(PyObject*) { return false; }
#endif

// Reads the kind of dictionaries whose kind is known, once, at import; false with an
// error set only when making them failed. Until it has answered right, no lookup is
// taken to be free of Python code.
bool checkDictionaryKind();

}  // namespace internals
