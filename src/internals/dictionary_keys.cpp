#include "dictionary_keys.h"

namespace internals {

bool checkDictionaryKind() {
#ifdef ORV_DICTIONARY_KIND_READABLE
  // {"a": 1} has str keys only, {"a": 1, 1: 1} general ones.
  PyObject* textKeys = Py_BuildValue("{s:i}", "a", 1);
  PyObject* mixedKeys = Py_BuildValue("{s:i,i:i}", "a", 1, 1, 1);
  bool made = textKeys && mixedKeys;
  if (made)
    dictionaryKindConfirmed = dictionaryKind(textKeys) == 1 && dictionaryKind(mixedKeys) == 0;
  Py_XDECREF(textKeys);
  Py_XDECREF(mixedKeys);
  return made;
#else
  return true;
#endif
}

}  // namespace internals
