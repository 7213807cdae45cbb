// What a user stores on OrvClient or TickType is released before the interpreter
// finalizes, as it would be from a Python class.
//
// The registered classes never die: the binding library's converter registry holds
// them. An object parked on one (`OrvClient.default = S()`) would live past
// finalization, and with it all it reaches: its class, that class's methods, the
// globals of their module, files that are then never flushed, `__del__` methods that
// never run. At exit (atexit runs before the interpreter clears any module) each
// dictionary below gets back exactly what registration left in it: names added since
// are removed, names bound to something else get the registered object back. Nothing
// the registration made is ever removed.
#include <Python.h>

#include <boost/python/errors.hpp>
#include <vector>

#include "registration.h"

namespace {

struct Registered {
  PyObject* dictionary;  // the live one
  PyObject* snapshot;    // a copy taken at the end of the module's initialisation
  PyTypeObject* owner;   // the class whose dictionary it is, or null
};
std::vector<Registered> registeredDictionaries;

// Binds `name` to `value` (or removes it, for null). A class's attribute is set as an
// assignment sets it, so that the class's slots follow its dictionary.
void put(const Registered& registered, PyObject* name, PyObject* value) {
  int failed;
  if (registered.owner && PyUnicode_Check(name)) {
    PyObject* owner = reinterpret_cast<PyObject*>(registered.owner);
    failed = value ? PyObject_SetAttr(owner, name, value) : PyObject_DelAttr(owner, name);
  } else {
    failed = value ? PyDict_SetItem(registered.dictionary, name, value)
                   : PyDict_DelItem(registered.dictionary, name);
  }
  if (failed) PyErr_WriteUnraisable(name);
}

void restore(const Registered& registered) {
  // The old contents are held until the dictionary is whole again, so that the
  // finalizers of released objects see the registered classes as registered.
  PyObject* previous = PyDict_Copy(registered.dictionary);
  if (!previous) return PyErr_WriteUnraisable(registered.dictionary);
  PyObject* name;
  PyObject* value;
  Py_ssize_t position = 0;
  while (PyDict_Next(previous, &position, &name, &value)) {
    PyObject* original = PyDict_GetItemWithError(registered.snapshot, name);
    if (!original && PyErr_Occurred()) PyErr_WriteUnraisable(name);
    else if (original != value) put(registered, name, original);
  }
  position = 0;
  while (PyDict_Next(registered.snapshot, &position, &name, &value)) {
    int present = PyDict_Contains(registered.dictionary, name);
    if (present < 0) PyErr_WriteUnraisable(name);
    else if (present == 0) put(registered, name, value);
  }
  Py_DECREF(previous);
}

PyObject* releaseParkedObjects(PyObject*, PyObject*) {
  for (const Registered& registered : registeredDictionaries) restore(registered);
  Py_RETURN_NONE;
}

PyMethodDef releaseDef = {"_release_parked_objects", &releaseParkedObjects, METH_NOARGS, nullptr};

void remember(PyObject* dictionary, PyTypeObject* owner) {
  PyObject* snapshot = PyDict_Copy(dictionary);
  if (!snapshot) boost::python::throw_error_already_set();
  Py_INCREF(dictionary);
  registeredDictionaries.push_back({dictionary, snapshot, owner});
}

}  // namespace

void releaseParkedObjectsAtExit(PyTypeObject* tickType, PyTypeObject* client) {
  remember(client->tp_dict, client);
  remember(tickType->tp_dict, tickType);
  // The enumeration's tables of members, by value and by name.
  for (const char* table : {"values", "names"}) {
    PyObject* members = PyDict_GetItemString(tickType->tp_dict, table);
    if (members && PyDict_Check(members)) remember(members, nullptr);
  }
  PyObject* release = PyCFunction_New(&releaseDef, nullptr);
  if (!release) boost::python::throw_error_already_set();
  PyObject* atexit = PyImport_ImportModule("atexit");
  PyObject* done = atexit ? PyObject_CallMethod(atexit, "register", "O", release) : nullptr;
  Py_XDECREF(atexit);
  Py_DECREF(release);
  if (!done) boost::python::throw_error_already_set();
  Py_DECREF(done);
}
