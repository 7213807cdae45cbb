// What a program stores on the registered objects is released at exit once nothing can
// use it any more, as it would be from a Python class.
//
// The registered classes never die: the binding library's converter registry holds
// them. An object parked on one (`OrvClient.default = S()`, a docstring object stored on
// an entry, an attribute of TickType's `__new__`) would live past finalization, and
// with it all it reaches: its class, that class's methods, the globals of their module,
// files that are then never flushed, `__del__` methods that never run. So each
// dictionary below gets back exactly what registration left in it (names added since
// are removed, names bound to something else get the registered object back; nothing
// the registration made is ever removed), and each entry its registered docstring.
//
// When: a Python class's attributes go when the class itself dies, after every instance
// and subclass, which hold it. Here that is the first moment at which the interpreter
// is finalizing (every atexit function, registered before or after the import, has
// run) and every OrvClient instance still alive is one that only the parked objects
// keep (counted by following their references as the collector does): checked when an
// instance's native object goes, and when a module object the import made dies (during
// finalization, with the modules). An instance that never dies (kept by a thread that
// never ends, or leaked) keeps the parked objects too.
#include <boost/python/errors.hpp>
#include <unordered_set>
#include <vector>

#include "../../internals/library_internals.h"
#include "../../internals/python_compat.h"
#include "../defences.h"

namespace {

struct Registered {
  PyObject* dictionary;  // the live one
  PyObject* snapshot;    // a copy taken at the end of the module's initialisation
  PyTypeObject* owner;   // the class whose dictionary it is, or null
};
std::vector<Registered> dictionaries;

struct Documentation {
  PyObject* function;  // an entry
  PyObject* original;  // its docstring object as registered
};
std::vector<Documentation> documentation;

std::vector<PyObject*> watchedModules;  // weak references, kept for their callbacks
long liveInstances = 0;                 // native objects alive in OrvClient instances
long parkedInstancesSeen = -1;          // the last count of those the parked objects keep
bool released = false;

// Binds `name` to `value` (or removes it, for null). A class's attribute is set as `type`
// sets it, so that the class's slots follow its dictionary.
void put(const Registered& registered, PyObject* name, PyObject* value) {
  int failed;
  if (registered.owner && PyUnicode_Check(name)) {
    PyObject* owner = reinterpret_cast<PyObject*>(registered.owner);
    failed = PyType_Type.tp_setattro(owner, name, value);
  } else {
    failed = value ? PyDict_SetItem(registered.dictionary, name, value)
                   : PyDict_DelItem(registered.dictionary, name);
  }
  if (failed) PyErr_WriteUnraisable(name);
}

void restore(const Registered& registered) {
  PyObject* name;
  PyObject* value;
  PyObject* current = PyDict_Copy(registered.dictionary);
  if (!current) return PyErr_WriteUnraisable(registered.dictionary);
  Py_ssize_t position = 0;
  while (PyDict_Next(current, &position, &name, &value)) {
    PyObject* original = PyDict_GetItemWithError(registered.snapshot, name);
    if (!original && PyErr_Occurred()) PyErr_WriteUnraisable(name);
    else if (original != value) put(registered, name, original);
  }
  Py_DECREF(current);
  position = 0;
  while (PyDict_Next(registered.snapshot, &position, &name, &value)) {
    int present = PyDict_Contains(registered.dictionary, name);
    if (present < 0) PyErr_WriteUnraisable(name);
    else if (present == 0) put(registered, name, value);
  }
}

// Everything parked now, as new references: values that differ from the registration's.
std::vector<PyObject*> parkedValues() {
  std::vector<PyObject*> parked;
  for (const Registered& registered : dictionaries) {
    PyObject *name, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(registered.dictionary, &position, &name, &value)) {
      if (PyDict_GetItemWithError(registered.snapshot, name) == value) continue;
      PyErr_Clear();  // a key whose comparison raised counts as parked
      Py_INCREF(value);
      parked.push_back(value);
    }
  }
  for (const Documentation& entry : documentation) {
    PyObject* stored = internals::storedDocumentation(entry.function);
    if (stored == entry.original) continue;
    Py_INCREF(stored);
    parked.push_back(stored);
  }
  return parked;
}

int collect(PyObject* object, void* pending) {
  static_cast<std::vector<PyObject*>*>(pending)->push_back(object);
  return 0;
}

// How many live instances' native objects the parked objects reach, following
// references as the collector does (no Python code runs).
long parkedInstances() {
  std::vector<PyObject*> pending = parkedValues();
  std::vector<PyObject*> held = pending;
  std::unordered_set<PyObject*> seen;
  long count = 0;
  while (!pending.empty()) {
    PyObject* object = pending.back();
    pending.pop_back();
    if (!seen.insert(object).second) continue;
    if (PyObject_TypeCheck(object, defences::registered.client))
      count += internals::heldObjectCount(object);
    if (PyObject_IS_GC(object) && Py_TYPE(object)->tp_traverse)
      Py_TYPE(object)->tp_traverse(object, &collect, &pending);
  }
  for (PyObject* object : held) Py_DECREF(object);
  return count;
}

void release() {
  released = true;
  // The old contents are held until every dictionary is whole again, so that the
  // finalizers of released objects see the registered objects as registered.
  std::vector<PyObject*> previous;
  for (const Registered& registered : dictionaries) {
    PyObject* copy = PyDict_Copy(registered.dictionary);
    if (copy) previous.push_back(copy);
    else PyErr_WriteUnraisable(registered.dictionary);
  }
  for (const Documentation& entry : documentation) {
    PyObject* stored = internals::storedDocumentation(entry.function);
    if (stored == entry.original) continue;
    Py_INCREF(stored);
    previous.push_back(stored);
    internals::storeDocumentation(entry.function, entry.original);
  }
  for (const Registered& registered : dictionaries) restore(registered);
  for (PyObject* object : previous) Py_DECREF(object);
}

// Releases the parked objects if nothing else can use them any more.
void releaseWhenUnused() {
  if (released || !orv_compat::interpreterFinalizing()) return;
  // The parked objects keep at most the instances they kept last time.
  if (parkedInstancesSeen >= 0 && liveInstances > parkedInstancesSeen) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  parkedInstancesSeen = parkedInstances();
  if (liveInstances <= parkedInstancesSeen) release();
  PyErr_Restore(type, value, traceback);
}

PyObject* moduleEnded(PyObject*, PyObject*) {
  releaseWhenUnused();
  Py_RETURN_NONE;
}

PyMethodDef moduleEndedDef = {"_module_ended", &moduleEnded, METH_O, nullptr};

// A garbage collection's callback (phase, info): the interpreter collects once more right
// after the atexit functions, with every module still whole.
PyObject* collected(PyObject*, PyObject*) {
  releaseWhenUnused();
  Py_RETURN_NONE;
}

PyMethodDef collectedDef = {"_collected", &collected, METH_VARARGS, nullptr};

void remember(PyObject* dictionary, PyTypeObject* owner) {
  PyObject* snapshot = PyDict_Copy(dictionary);
  if (!snapshot) boost::python::throw_error_already_set();
  Py_INCREF(dictionary);
  dictionaries.push_back({dictionary, snapshot, owner});
}

PyObject* dictionaryName() {
  static PyObject* name = PyUnicode_InternFromString("__dict__");
  if (!name) boost::python::throw_error_already_set();
  return name;
}

// The registered objects found in a class's dictionary that keep state of their own:
// entries (their docstring) and objects with an attribute dictionary.
void rememberStateOf(PyObject* classDictionary) {
  PyObject *name, *value;
  Py_ssize_t position = 0;
  while (PyDict_Next(classDictionary, &position, &name, &value)) {
    if (PyObject_TypeCheck(value, defences::registered.libraryFunction)) {
      PyObject* original = internals::storedDocumentation(value);
      Py_INCREF(value);
      Py_INCREF(original);
      documentation.push_back({value, original});
    } else if (!PyType_Check(value)) {
      PyObject* own;  // its attribute dictionary, made now if it has none yet
      if (PyObject_GetOptionalAttr(value, dictionaryName(), &own) < 0)
        boost::python::throw_error_already_set();
      if (own && PyDict_Check(own)) remember(own, nullptr);
      Py_XDECREF(own);
    }
  }
}

}  // namespace

void defences::releaseParkedObjectsAtExit() {
  if (!dictionaries.empty()) return;  // already recorded
  for (PyTypeObject* cls : {registered.client, registered.tickType}) {
    remember(cls->tp_dict, cls);
    rememberStateOf(cls->tp_dict);
  }
  // The enumeration's tables of members, by value and by name.
  for (const char* table : {"values", "names"}) {
    PyObject* members = PyDict_GetItemString(registered.tickType->tp_dict, table);
    if (members && PyDict_Check(members)) remember(members, nullptr);
  }
  PyObject* callback = PyCFunction_New(&collectedDef, nullptr);
  PyObject* gc = callback ? PyImport_ImportModule("gc") : nullptr;
  PyObject* callbacks = gc ? PyObject_GetAttrString(gc, "callbacks") : nullptr;
  int failed = callbacks ? PyList_Append(callbacks, callback) : -1;
  Py_XDECREF(callbacks);
  Py_XDECREF(gc);
  Py_XDECREF(callback);
  if (failed) boost::python::throw_error_already_set();
}

void defences::watchModuleObject(PyObject* module) {
  static PyObject* callback = PyCFunction_New(&moduleEndedDef, nullptr);
  if (!callback) boost::python::throw_error_already_set();
  PyObject* watch = PyWeakref_NewRef(module, callback);
  if (!watch) boost::python::throw_error_already_set();
  watchedModules.push_back(watch);
}

void defences::clientInstanceStarted() { ++liveInstances; }

void defences::clientInstanceEnded() {
  --liveInstances;
  releaseWhenUnused();
}
