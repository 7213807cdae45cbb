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
// When: a Python class's attributes go when the class itself becomes garbage, after
// every instance and subclass, which hold it. Here that is the first moment at which the
// interpreter is finalizing (every atexit function, registered before or after the
// import, has run) and every OrvClient instance still alive is one that only the parked
// objects keep. That is found as the collector finds garbage, on what the parked objects
// reach: an instance they reach through something in use elsewhere (a parked function's
// module globals, while the module lives) is in use too. It is asked when an instance's
// native object goes, at the collection the interpreter runs right after the atexit
// functions (a callback in gc.callbacks), when any module dies from then on, and last
// when a module object the import made dies (the interpreter keeps it until it has
// cleared its modules). As the collector does, the finalizers of everything that only
// the parking keeps run first, with the registered objects still as the program left
// them; then the parked objects are let go. An instance that never dies (kept by a
// thread that never ends, or leaked) keeps the parked objects too.
#include <boost/python/errors.hpp>
#include <unordered_map>
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

int collect(PyObject* object, void* found) {
  static_cast<std::vector<PyObject*>*>(found)->push_back(object);
  return 0;
}

// The objects `object` refers to, as the collector sees them.
void referents(PyObject* object, std::vector<PyObject*>* found) {
  if (PyObject_IS_GC(object) && Py_TYPE(object)->tp_traverse)
    Py_TYPE(object)->tp_traverse(object, &collect, found);
}

// What nothing but the parked objects keeps, found as the collector finds garbage, on
// what the parked objects reach: an object there that is referred to from outside (more
// references than those from within, counting the parking itself as from within) is in
// use, and so is all it reaches; the rest is kept by the parking alone. No Python code
// runs. `garbage` holds new references.
struct Unused {
  std::vector<PyObject*> garbage;
  long instances = 0;  // native objects of OrvClient instances among them
  Unused() = default;
  Unused(const Unused&) = delete;
  Unused& operator=(const Unused&) = delete;
  ~Unused() {
    for (PyObject* object : garbage) Py_DECREF(object);
  }
};

void findUnused(Unused* unused) {
  std::vector<PyObject*> parked = parkedValues();
  // The registered objects themselves live for good: what they hold is not in use
  // because of them.
  std::unordered_set<PyObject*> registeredObjects;
  for (const Registered& registered : dictionaries) {
    registeredObjects.insert(registered.dictionary);
    if (registered.owner) registeredObjects.insert(reinterpret_cast<PyObject*>(registered.owner));
  }
  for (const Documentation& entry : documentation) registeredObjects.insert(entry.function);
  std::unordered_map<PyObject*, Py_ssize_t> outside;  // references not accounted for
  std::vector<PyObject*> pending = parked, found;
  while (!pending.empty()) {
    PyObject* object = pending.back();
    pending.pop_back();
    if (registeredObjects.count(object)) continue;
    if (!outside.emplace(object, Py_REFCNT(object)).second) continue;
    found.clear();
    referents(object, &found);
    pending.insert(pending.end(), found.begin(), found.end());
  }
  for (auto& [object, count] : outside) {
    found.clear();
    referents(object, &found);
    for (PyObject* target : found) {
      auto known = outside.find(target);
      if (known != outside.end()) --known->second;
    }
  }
  // parkedValues() holds one reference to each value, and the parking one more.
  for (PyObject* value : parked) {
    auto known = outside.find(value);
    if (known != outside.end()) known->second -= 2;
  }
  std::unordered_set<PyObject*> inUse;
  for (auto& [object, count] : outside)
    if (count > 0) pending.push_back(object);
  while (!pending.empty()) {
    PyObject* object = pending.back();
    pending.pop_back();
    if (registeredObjects.count(object) || !inUse.insert(object).second) continue;
    found.clear();
    referents(object, &found);
    pending.insert(pending.end(), found.begin(), found.end());
  }
  // The rest, each object before those it refers to where they form no cycle: the order
  // in which letting go of the parking would free them (a text file before the buffer it
  // writes to), depth first from the parked values.
  auto isGarbage = [&](PyObject* object) {
    return outside.count(object) && !inUse.count(object) && !registeredObjects.count(object);
  };
  std::unordered_set<PyObject*> visited;
  std::vector<std::pair<PyObject*, std::vector<PyObject*>>> path;  // object, referents left
  std::vector<PyObject*> finished;
  for (PyObject* root : parked) {
    if (!isGarbage(root) || !visited.insert(root).second) continue;
    path.push_back({root, {}});
    referents(root, &path.back().second);
    while (!path.empty()) {
      std::vector<PyObject*>& left = path.back().second;
      if (left.empty()) {
        finished.push_back(path.back().first);
        path.pop_back();
        continue;
      }
      PyObject* next = left.back();
      left.pop_back();
      if (!isGarbage(next) || !visited.insert(next).second) continue;
      std::vector<PyObject*> nextReferents;
      referents(next, &nextReferents);
      path.push_back({next, std::move(nextReferents)});
    }
  }
  for (auto object = finished.rbegin(); object != finished.rend(); ++object) {
    Py_INCREF(*object);
    unused->garbage.push_back(*object);
    if (PyObject_TypeCheck(*object, defences::registered.client))
      unused->instances += internals::heldObjectCount(*object);
  }
  for (PyObject* object : parked) Py_DECREF(object);
}

void release(const Unused& unused) {
  released = true;
  // As the collector does with garbage: every finalizer first (once each: it marks the
  // object finalized), while all of it is whole and the registered objects are as the
  // program left them, in the order that freeing would run them; then the references
  // are let go.
  for (PyObject* object : unused.garbage) {
    if (PyObject_IS_GC(object) && Py_TYPE(object)->tp_finalize) {
      orv_compat::callFinalizer(object);
      if (PyErr_Occurred()) PyErr_WriteUnraisable(object);
    }
  }
  // The old contents are held until every dictionary is whole again, so that what is
  // released last meets the registered objects as registered.
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

// Releases the parked objects if nothing else can use them any more. After an instance's
// end the question is asked again only when it may have a new answer (no more instances
// than the parked objects alone kept last time) or when half of the instances counted
// then have gone, so that many instances ending at exit cost a few passes, not one each.
long onlyParkedSeen = -1;
long liveWhenAsked = 0;

void releaseWhenUnused(bool afterInstanceEnd) {
  if (released || !orv_compat::interpreterFinalizing()) return;
  if (afterInstanceEnd && onlyParkedSeen >= 0 && liveInstances > onlyParkedSeen &&
      2 * liveInstances > liveWhenAsked)
    return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  {
    Unused unused;
    findUnused(&unused);
    onlyParkedSeen = unused.instances;
    liveWhenAsked = liveInstances;
    if (liveInstances <= onlyParkedSeen) release(unused);
  }
  PyErr_Restore(type, value, traceback);
}

PyObject* moduleEnded(PyObject*, PyObject*) {
  releaseWhenUnused(false);
  Py_RETURN_NONE;
}

PyMethodDef moduleEndedDef = {"_module_ended", &moduleEnded, METH_O, nullptr};

// Once the interpreter finalizes, a module's end may leave instances to the parking alone
// (its globals go with it): every module is watched from then on.
void watchEveryModule() {
  static bool watching = false;
  if (watching) return;
  watching = true;
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* all = modules && PyDict_Check(modules) ? PyDict_Values(modules) : nullptr;
  if (!all) return PyErr_Clear();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all); ++i) {
    PyObject* module = PyList_GET_ITEM(all, i);
    if (!PyModule_Check(module)) continue;
    try {
      defences::watchModuleObject(module);
    } catch (const boost::python::error_already_set&) {
      PyErr_Clear();
    }
  }
  Py_DECREF(all);
}

// A garbage collection's callback (phase, info): the interpreter collects once more right
// after the atexit functions, with every module still whole.
PyObject* collected(PyObject*, PyObject*) {
  if (!orv_compat::interpreterFinalizing()) Py_RETURN_NONE;
  watchEveryModule();
  releaseWhenUnused(false);
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
  releaseWhenUnused(true);
}
