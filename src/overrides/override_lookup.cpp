#include "override_lookup.h"

#include <boost/python/errors.hpp>
#include <cstring>
#include <string>

#include "../client/operation_traits.h"
#include "../common/error_policy.h"
#include "../common/registered.h"
#include "../call_state/held_arguments.h"
#include "../internals/dictionary_keys.h"
#include "../internals/function_calls.h"
#include "../internals/python_compat.h"
#include "../internals/type_slots.h"

namespace overrides {
namespace {

constexpr int operationCount = static_cast<int>(OperationIndex::count);

PyObject* operationNameObjects[operationCount] = {};

// The registered class's own entry for each operation name, as the registration left it
// (a new reference, or null where the class registers no method of that name). Only
// these objects are the class's own binding: whatever else a user later puts under the
// same name, on the class or anywhere, is an override.
PyObject* registeredEntries[operationCount] = {};

// The class attribute named after each operation, as _PyType_Lookup finds it (borrowed,
// or null), remembered with the class and its version tag as the interpreter's own
// attribute cache remembers it: the tag changes whenever the dictionary of the class or
// of any of its bases changes, so a matching valid tag means the same answer, where no
// tag is ever given twice. Where tags can come back (versionTagsCanRecur), the cache
// would name what may be gone, and the interpreter's lookup answers every time.
struct ClassAttribute {
  PyTypeObject* type;
  unsigned int versionTag;
  PyObject* attribute;
};
ClassAttribute classAttributes[operationCount] = {};

// The class attribute named after the operation (borrowed, or null), from the cache
// above when it still holds. The interpreter's search may run Python code (a key of a
// class's dictionary whose hash matches the name is compared with it), so the entry
// takes its references first.
PyObject* classAttribute(PyTypeObject* type, int operationIndex) {
  if constexpr (internals::versionTagsCanRecur) {
    call_state::holdEntryArguments();
    return internals::typeAttribute(type, operationNameObjects[operationIndex]);
  }
  ClassAttribute& known = classAttributes[operationIndex];
  unsigned int version = internals::validVersionTag(type);
  if (version != 0 && known.type == type && known.versionTag == version) return known.attribute;
  call_state::holdEntryArguments();
  PyObject* attribute = internals::typeAttribute(type, operationNameObjects[operationIndex]);
  version = internals::validVersionTag(type);  // the lookup may have given the class its tag
  if (version != 0) known = {type, version, attribute};
  return attribute;
}

// The registered class's own entry for the operation, or null.
inline PyObject* registeredEntry(int operationIndex) { return registeredEntries[operationIndex]; }

// Whether `found`, the result of the attribute lookup, is the registered class's own
// binding of the operation to this instance rather than a Python override.
bool isOwnBinding(PyObject* found, PyObject* owner, int operationIndex) {
  return Py_TYPE(found) == &PyMethod_Type && PyMethod_GET_SELF(found) == owner &&
         PyMethod_GET_FUNCTION(found) == registeredEntry(operationIndex);
}

// A function whose binding to an instance is a bound method of that function and
// instance: a Python function, or one of the library's (the entries' subtype binds as
// the library's type does).
bool bindsAsMethod(PyObject* attribute) {
  return PyFunction_Check(attribute) || Py_TYPE(attribute) == common::registered.libraryFunction ||
         Py_TYPE(attribute) == common::registered.entryFunction;
}

// The attribute lookup as getattr() does it, then the test for the class's own binding.
// A lookup that raised means "no override", and its error is dropped, unless the
// module's rule says it must propagate (common/error_policy.h). (The interpreter's
// "optional" lookup would differ in one corner: it ignores an AttributeError raised while
// searching the instance dictionary and goes on to the class.)
Override lookUpGenerally(PyObject* owner, int operationIndex) {
  call_state::holdEntryArguments();
  PyObject* found = PyObject_GetAttr(owner, operationNameObjects[operationIndex]);
  if (!found) {
    // Missing, or the lookup itself raised: either way there is no override.
    if (common::keepErrorThatMustPropagate()) boost::python::throw_error_already_set();
    return {};
  }
  if (isOwnBinding(found, owner, operationIndex)) {
    Py_DECREF(found);
    return {};
  }
  return {found, false};
}

}  // namespace

void prepareOverrideLookup() {
  if (!internals::checkDictionaryKind() || !internals::recordFunctionEntry())
    boost::python::throw_error_already_set();
  PyTypeObject* cls = common::registered.client;
  for (int i = 0; i < operationCount; ++i) {
    operationNameObjects[i] = PyUnicode_InternFromString(operationNames[i]);
    if (!operationNameObjects[i]) boost::python::throw_error_already_set();
  }
  for (int i = 0; i < operationCount; ++i) {
    PyObject* entry =
        PyDict_GetItemWithError(internals::typeDictionary(cls), operationNameObjects[i]);
    if (!entry && PyErr_Occurred()) boost::python::throw_error_already_set();
    Py_XINCREF(entry);
    registeredEntries[i] = entry;
  }
}

// The generic attribute lookup of an instance whose type keeps the standard lookup
// (PyObject_GenericGetAttr, no __getattr__) and a plain instance dictionary, done here
// for the case that matters: no attribute of that name on the class, or a function.
// The class is searched first (through the interpreter's attribute cache), then the
// instance dictionary, which shadows a function of the class; a function found on the
// class is then the result, bound to the instance. Every other case (a data descriptor,
// a class attribute of another kind, any type with its own lookup) takes the general
// lookup, which gives the same answer. The entry takes its references
// (call_state/held_arguments.h) before any step that can run Python code: the general lookup, the
// class's search when its result is not known, the instance dictionary's search unless
// its keys are all exact str (internals/dictionary_keys.h).
Override findOverride(PyObject* owner, int operationIndex) {
  if (!owner) return {};
  PyObject* name = operationNameObjects[operationIndex];
  PyTypeObject* type = Py_TYPE(owner);
  if (!internals::looksUpGenericallyWithDictionarySlot(type))
    return lookUpGenerally(owner, operationIndex);

  PyObject* attribute = classAttribute(type, operationIndex);  // borrowed; sets no error
  if (attribute && !bindsAsMethod(attribute)) return lookUpGenerally(owner, operationIndex);

  PyObject* dict = *internals::dictionarySlot(owner, type);
  // The slot holds a dict or nothing: the class's __dict__ takes only a dict. (Through
  // the library's own setter, reached explicitly, it may hold anything; the search then
  // raises SystemError, as the interpreter's lookup would, which means no override.)
  // Searching it may run Python code (a key's __eq__) unless its keys are all exact str:
  // then the entry takes its references first, and the class attribute and the
  // dictionary are kept alive across the search. A search that runs none needs neither.
  bool searchRunsCode = dict && !internals::lookupRunsNoPythonCode(dict);
  PyObject* kept = nullptr;  // the class attribute, owned across such a search
  if (searchRunsCode) {
    call_state::holdEntryArguments();
    kept = attribute;
    Py_XINCREF(kept);
  }
  if (dict) {
    if (searchRunsCode) Py_INCREF(dict);
    PyObject* found;
    int present = internals::dictionaryItem(dict, name, &found);
    if (searchRunsCode) Py_DECREF(dict);
    if (present > 0) {
      Py_XDECREF(kept);
      if (isOwnBinding(found, owner, operationIndex)) {
        Py_DECREF(found);
        return {};
      }
      return {found, false};
    }
    if (present < 0) {
      // The dictionary search raised (a key's __eq__): as in getattr(), the lookup
      // ends with that error, which means no override.
      bool keep = common::keepErrorThatMustPropagate();
      Py_XDECREF(kept);
      if (keep) boost::python::throw_error_already_set();
      return {};
    }
  }

  // No such attribute, and no __getattr__ to ask; or the registered class's own entry,
  // whose binding to the owner is the operation itself.
  if (!attribute || attribute == registeredEntry(operationIndex)) {
    Py_XDECREF(kept);
    return {};
  }
  // The lookup would bind the function to the owner.
  if (!kept) Py_INCREF(attribute);
  return {attribute, true};
}

void hintRecursionThroughEntry(PyObject* self, int operationIndex) {
  if (PyErr_Occurred() != PyExc_RecursionError) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string name = operationNames[operationIndex];
  std::string hint = "OrvClient." + name + " dispatches to the override: super()." + name +
                     "() inside " + name + " calls itself; OrvClient's own " + name +
                     " does nothing, so leave the call out";
  // The class's function for the operation (no Python code runs to find it; the lookup
  // of the calls, classAttribute, stays inlined there) and the frame that called the
  // entry. Reading the error's text runs its arguments' __str__: whatever fails here is
  // a secondary error, which the rule lets win or drops (the hint is then left out).
  PyObject* override = internals::typeAttribute(Py_TYPE(self), operationNameObjects[operationIndex]);
  int fromOverride = override && PyFunction_Check(override)
                         ? internals::callerRuns(PyFunction_GET_CODE(override))
                         : 0;
  bool failed = fromOverride < 0;
  if (fromOverride > 0 && value) {
    PyObject* text = PyObject_Str(value);
    const char* utf8 = text ? PyUnicode_AsUTF8(text) : nullptr;
    if (!utf8) {
      failed = true;
    } else if (!std::strstr(utf8, hint.c_str())) {
      PyObject* args = Py_BuildValue("(s)", (std::string(utf8) + "\n" + hint).c_str());
      failed = !args || PyObject_SetAttrString(value, "args", args) < 0;
      Py_XDECREF(args);
    }
    Py_XDECREF(text);
  }
  if (failed)
    common::settleSecondaryError(type, value, traceback);
  else
    PyErr_Restore(type, value, traceback);
}

void explainUncallableOverride(PyObject* found, int operationIndex) {
  if (PyCallable_Check(found) || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  if (common::keepErrorThatMustPropagate()) return;  // a TypeError never must: dropped
  PyErr_Format(PyExc_TypeError, "OrvClient operation '%s': attribute of type '%.200s' is not callable",
               operationNames[operationIndex], internals::typeName(Py_TYPE(found)));
}

}  // namespace overrides
