// What a program stores on the registered objects is released at exit once nothing can
// use it any more, as a Python class's attributes are.
//
// The registered classes never die: the binding library's converter registry holds
// them. An object parked on one (`OrvClient.default = S()`, a docstring object stored on
// an entry, an attribute of TickType's `__new__`) would live past finalization, and
// with it all it reaches: its class, that class's methods, the globals of their module,
// files that are then never flushed, `__del__` methods that never run. So each
// dictionary below gets back exactly what registration left in it, and each entry its
// registered docstring.
//
// When: a Python class's attributes go when the class becomes garbage, after every
// instance and subclass (which hold it), as the interpreter clears its modules. Here that
// is the first moment at which the interpreter is finalizing (every atexit function has
// run) and every OrvClient instance still alive is one that only the parked objects keep.
// It is asked, never from a collection:
// - when an instance's native object ends;
// - when a module object dies: an atexit function registered at import (run after every
//   one the program registers later) watches every module, and the interpreter lets them
//   go as it starts to clear modules;
// - last, when a module object the import made dies: the interpreter keeps it until it
//   has cleared every module.
// Which instances only the parking keeps is found as the collector finds garbage, on what
// the parked objects reach: an object there with references from outside is in use, and
// so is all it reaches (a parked function's module globals, while the module lives). No
// Python code runs meanwhile: the dictionaries' items are held and compared by identity
// with the registration's. As the collector does, the finalizers of everything that only
// the parking keeps run first, with the registered objects as the program left them;
// then the dictionaries are made whole and their old contents let go. An instance that
// never dies (kept by a thread that never ends, or leaked) keeps the parked objects too.
//
// Nothing here has a caller to hand an error to: an error is reported as unraisable,
// and a failed allocation of the release's own as MemoryError, at the entry points (an
// instance's destructor, the interpreter's callbacks).
#include <boost/python/errors.hpp>
#include <algorithm>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../internals/library_internals.h"
#include "../internals/python_compat.h"
#include "../internals/type_slots.h"
#include "parked_objects.h"
#include "../common/registered.h"

namespace {

// New references, let go together.
class Held {
 public:
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    for (PyObject* object : objects_) Py_DECREF(object);
  }
  void add(PyObject* object) {
    objects_.push_back(object);  // first: a failed allocation leaves nothing to undo
    Py_INCREF(object);
  }
  void reserve(size_t more) { objects_.reserve(objects_.size() + more); }
  const std::vector<PyObject*>& objects() const { return objects_; }

 private:
  std::vector<PyObject*> objects_;
};

// A dictionary's keys and values, alternately, held before anything looks at them.
void holdItems(PyObject* dictionary, Held* items) {
  items->reserve(2 * static_cast<size_t>(PyDict_Size(dictionary)));
  PyObject *key, *value;
  Py_ssize_t position = 0;
  while (PyDict_Next(dictionary, &position, &key, &value)) {
    items->add(key);
    items->add(value);
  }
}

using Item = std::pair<PyObject*, PyObject*>;

struct Registered {
  PyObject* dictionary;          // the live one
  PyTypeObject* owner;           // the class whose dictionary it is, or null
  std::vector<PyObject*> items;  // what registration left in it, in order: keys and values
  std::vector<Item> byKey;       // the same, by key address

  // The value registration bound to this very key object, or null.
  PyObject* registeredValue(PyObject* key) const {
    auto found = std::lower_bound(byKey.begin(), byKey.end(), Item{key, nullptr});
    return found != byKey.end() && found->first == key ? found->second : nullptr;
  }
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

// Everything parked now, held: the keys and values that are not the registration's,
// and the docstrings stored in place of the registered ones.
void holdParked(Held* parked) {
  for (const Registered& kept : dictionaries) {
    Held items;
    holdItems(kept.dictionary, &items);
    const std::vector<PyObject*>& both = items.objects();
    for (size_t i = 0; i < both.size(); i += 2) {
      if (kept.registeredValue(both[i]) == both[i + 1]) continue;
      parked->add(both[i]);
      parked->add(both[i + 1]);
    }
  }
  for (const Documentation& entry : documentation) {
    PyObject* stored = internals::storedDocumentation(entry.function);
    if (stored != entry.original) parked->add(stored);
  }
}

// A traversal's visit, called from C: a failed allocation stops the traversal.
int collect(PyObject* object, void* found) {
  try {
    static_cast<std::vector<PyObject*>*>(found)->push_back(object);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

// The objects `object` refers to, as the collector sees them.
void referents(PyObject* object, std::vector<PyObject*>* found) {
  found->clear();
  traverseproc traverse =
      PyObject_IS_GC(object) ? internals::typeTraversal(Py_TYPE(object)) : nullptr;
  if (traverse && traverse(object, &collect, found) != 0) throw std::bad_alloc();
}

// What nothing but the parked objects keeps, found as the collector finds garbage, on
// what the parked objects reach: an object there that is referred to from outside (more
// references than those from within, counting the parking itself as from within) is in
// use, and so is all it reaches; the rest is kept by the parking alone. Held in the
// order in which letting go of the parking would free it, each object before those it
// refers to where they form no cycle (a text file before the buffer it writes to).
// Returns how many native objects of OrvClient instances are among it.
long holdUnused(Held* garbage) {
  Held parked;
  holdParked(&parked);
  // The registered objects themselves live for good: what they hold is not in use
  // because of them.
  std::unordered_set<PyObject*> registeredObjects;
  for (const Registered& kept : dictionaries) {
    registeredObjects.insert(kept.dictionary);
    if (kept.owner) registeredObjects.insert(reinterpret_cast<PyObject*>(kept.owner));
  }
  for (const Documentation& entry : documentation) registeredObjects.insert(entry.function);
  std::unordered_map<PyObject*, Py_ssize_t> outside;  // references not accounted for
  std::vector<PyObject*> pending = parked.objects(), found;
  while (!pending.empty()) {
    PyObject* object = pending.back();
    pending.pop_back();
    if (registeredObjects.count(object)) continue;
    if (!outside.emplace(object, Py_REFCNT(object)).second) continue;
    referents(object, &found);
    pending.insert(pending.end(), found.begin(), found.end());
  }
  for (auto& [object, count] : outside) {
    referents(object, &found);
    for (PyObject* target : found) {
      auto known = outside.find(target);
      if (known != outside.end()) --known->second;
    }
  }
  // Each parked object is held once here and once by the parking.
  for (PyObject* object : parked.objects()) {
    auto known = outside.find(object);
    if (known != outside.end()) known->second -= 2;
  }
  std::unordered_set<PyObject*> inUse;
  for (auto& [object, count] : outside)
    if (count > 0) pending.push_back(object);
  while (!pending.empty()) {
    PyObject* object = pending.back();
    pending.pop_back();
    if (registeredObjects.count(object) || !inUse.insert(object).second) continue;
    referents(object, &found);
    pending.insert(pending.end(), found.begin(), found.end());
  }
  auto isGarbage = [&](PyObject* object) {
    return outside.count(object) && !inUse.count(object) && !registeredObjects.count(object);
  };
  // Depth first from the parked objects; an object is finished once all it refers to is.
  std::unordered_set<PyObject*> visited;
  std::vector<std::pair<PyObject*, std::vector<PyObject*>>> path;  // object, referents left
  std::vector<PyObject*> finished;
  for (PyObject* root : parked.objects()) {
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
      path.push_back({next, {}});
      referents(next, &path.back().second);
    }
  }
  long instances = 0;
  garbage->reserve(finished.size());
  for (auto object = finished.rbegin(); object != finished.rend(); ++object) {
    garbage->add(*object);
    if (PyObject_TypeCheck(*object, common::registered.client))
      instances += internals::heldObjectCount(*object);
  }
  return instances;
}

// Binds a class's attribute `key` to `value` (or removes it, for null) as `type` does, so
// that the class's slots follow its dictionary.
void put(const Registered& kept, PyObject* key, PyObject* value) {
  int failed;
  if (PyUnicode_Check(key)) {
    PyObject* owner = reinterpret_cast<PyObject*>(kept.owner);
    failed = internals::typeAttributeSetter(&PyType_Type)(owner, key, value);
  } else {  // a key no attribute assignment makes, put in the dictionary itself
    failed = value ? PyDict_SetItem(kept.dictionary, key, value)
                   : PyDict_DelItem(kept.dictionary, key);
  }
  if (failed) PyErr_WriteUnraisable(key);
}

// Gives the dictionary back exactly what registration left in it. Any other dictionary
// is emptied and filled again, which compares no key of the program's; a class's
// attributes are removed and rebound one by one.
void restore(const Registered& kept) {
  const std::vector<PyObject*>& original = kept.items;
  if (!kept.owner) {
    PyDict_Clear(kept.dictionary);
    for (size_t i = 0; i < original.size(); i += 2)
      if (PyDict_SetItem(kept.dictionary, original[i], original[i + 1]) < 0)
        PyErr_WriteUnraisable(original[i]);
    return;
  }
  PyObject* keys = PyDict_Keys(kept.dictionary);
  if (!keys) return PyErr_WriteUnraisable(kept.dictionary);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i)
    if (!kept.registeredValue(PyList_GET_ITEM(keys, i)))
      put(kept, PyList_GET_ITEM(keys, i), nullptr);
  Py_DECREF(keys);
  for (size_t i = 0; i < original.size(); i += 2) {
    PyObject* value = PyDict_GetItemWithError(kept.dictionary, original[i]);
    if (!value && PyErr_Occurred()) PyErr_WriteUnraisable(original[i]);
    else if (value != original[i + 1]) put(kept, original[i], original[i + 1]);
  }
}

void finalize(PyObject* object) {
  if (PyObject_IS_GC(object) && internals::typeHasFinalizer(Py_TYPE(object))) {
    internals::callFinalizer(object);
    if (PyErr_Occurred()) PyErr_WriteUnraisable(object);
  }
}

void release(const Held& garbage) {
  released = true;
  // As the collector does with garbage: every finalizer first (once each: it marks the
  // object finalized), while all of it is whole and the registered objects are as the
  // program left them; then the references are let go. The instances come first: each
  // holds its class, and so what is parked there, as a Python class's instance does;
  // those reached through other objects (a module's globals) before those parked
  // themselves, as a module's globals go before a class's attributes. Then the rest, in
  // the order that freeing would run them.
  const std::vector<PyObject*>& objects = garbage.objects();
  for (auto object = objects.rbegin(); object != objects.rend(); ++object)
    if (PyObject_TypeCheck(*object, common::registered.client)) finalize(*object);
  for (PyObject* object : objects) finalize(object);
  // The old contents are held until every dictionary is whole again, so that what is
  // released last meets the registered objects as registered. Without memory for that,
  // each is let go as its dictionary is restored.
  Held previous;
  try {
    for (const Registered& kept : dictionaries) holdItems(kept.dictionary, &previous);
    for (const Documentation& entry : documentation)
      previous.add(internals::storedDocumentation(entry.function));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    PyErr_WriteUnraisable(nullptr);
  }
  for (const Documentation& entry : documentation)
    internals::storeDocumentation(entry.function, entry.original);
  for (const Registered& kept : dictionaries) restore(kept);
}

// Releases the parked objects if nothing else can use them any more. After an instance's
// end the question is asked again only when it may have a new answer (no more instances
// than the parked objects alone kept last time) or when half of the instances counted
// then have gone, so that many instances ending at exit cost a few passes, not one each.
long onlyParkedSeen = -1;
long liveWhenAsked = 0;

void releaseWhenUnused(bool afterInstanceEnd) {
  if (released || !internals::interpreterFinalizing()) return;
  if (afterInstanceEnd && onlyParkedSeen >= 0 && liveInstances > onlyParkedSeen &&
      2 * liveInstances > liveWhenAsked)
    return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    Held garbage;
    onlyParkedSeen = holdUnused(&garbage);
    liveWhenAsked = liveInstances;
    if (liveInstances <= onlyParkedSeen) release(garbage);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();  // asked again at the next end
    PyErr_WriteUnraisable(nullptr);
  }
  PyErr_Restore(type, value, traceback);
}

PyObject* moduleEnded(PyObject*, PyObject*) {
  releaseWhenUnused(false);
  Py_RETURN_NONE;
}

PyMethodDef moduleEndedDef = {"_module_ended", &moduleEnded, METH_O, nullptr};

bool watch(PyObject* module) {
  static PyObject* callback = nullptr;
  if (!callback) callback = PyCFunction_New(&moduleEndedDef, nullptr);
  PyObject* reference = callback ? PyWeakref_NewRef(module, callback) : nullptr;
  if (!reference) return false;
  try {
    watchedModules.push_back(reference);
  } catch (const std::bad_alloc&) {
    Py_DECREF(reference);
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// Registered with atexit at import, so run once the program's atexit functions
// registered since have run: from then on the end of every module may leave the
// instances to the parking alone (its globals go with it).
PyObject* watchEveryModule(PyObject*, PyObject*) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* all = modules && PyDict_Check(modules) ? PyDict_Values(modules) : nullptr;
  if (!all) PyErr_WriteUnraisable(nullptr);
  for (Py_ssize_t i = 0; all && i < PyList_GET_SIZE(all); ++i) {
    PyObject* module = PyList_GET_ITEM(all, i);
    if (PyModule_Check(module) && !watch(module)) PyErr_WriteUnraisable(module);
  }
  Py_XDECREF(all);
  Py_RETURN_NONE;
}

PyMethodDef watchEveryModuleDef = {"_watch_every_module", &watchEveryModule, METH_NOARGS,
                                   nullptr};

// Kept for the process, as the registered objects are.
void remember(PyObject* dictionary, PyTypeObject* owner) {
  Registered kept{dictionary, owner, {}, {}};
  PyObject *key, *value;
  Py_ssize_t position = 0;
  while (PyDict_Next(dictionary, &position, &key, &value)) {
    kept.items.insert(kept.items.end(), {key, value});
    kept.byKey.push_back({key, value});
  }
  std::sort(kept.byKey.begin(), kept.byKey.end());
  dictionaries.push_back(std::move(kept));
  for (PyObject* object : dictionaries.back().items) Py_INCREF(object);
  Py_INCREF(dictionary);
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
    if (PyObject_TypeCheck(value, common::registered.libraryFunction)) {
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

void shutdown::releaseParkedObjectsAtExit() {
  if (!dictionaries.empty()) return;  // already recorded
  for (PyTypeObject* cls : {common::registered.client, common::registered.tickType}) {
    remember(internals::typeDictionary(cls), cls);
    rememberStateOf(internals::typeDictionary(cls));
  }
  // The enumeration's tables of members, by value and by name.
  for (const char* table : {"values", "names"}) {
    PyObject* members =
        PyDict_GetItemString(internals::typeDictionary(common::registered.tickType), table);
    if (members && PyDict_Check(members)) remember(members, nullptr);
  }
  PyObject* function = PyCFunction_New(&watchEveryModuleDef, nullptr);
  PyObject* atexit = function ? PyImport_ImportModule("atexit") : nullptr;
  PyObject* done = atexit ? PyObject_CallMethod(atexit, "register", "O", function) : nullptr;
  Py_XDECREF(done);
  Py_XDECREF(atexit);
  Py_XDECREF(function);
  if (!done) boost::python::throw_error_already_set();
}

bool shutdown::watchModuleObject(PyObject* module) { return watch(module); }

void shutdown::clientInstanceStarted() { ++liveInstances; }

void shutdown::clientInstanceEnded() {
  --liveInstances;
  releaseWhenUnused(true);
}
