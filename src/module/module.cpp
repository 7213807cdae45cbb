// The OrvCpp extension module: TickType first, then OrvClient, and nothing else.
#include <boost/python/module.hpp>

#include "../bridge/override_lookup.h"
#include "../internals/python_compat.h"
#include "../bridge/tick_type_objects.h"
#include "registration.h"
#include "subclass_check.h"

namespace {

void registerModule() {
  boost::python::object tickType = registerTickType();
  bridge::rememberTickTypeMembers(tickType.ptr());
  boost::python::object client = registerClient();
  makeInstancesCollectable(reinterpret_cast<PyTypeObject*>(client.ptr()));
  guardInstanceDictionary(reinterpret_cast<PyTypeObject*>(client.ptr()));
  bridge::prepareOverrideLookup(reinterpret_cast<PyTypeObject*>(client.ptr()));
  prepareSubclassCheck(client.ptr());
  releaseParkedObjectsAtExit(reinterpret_cast<PyTypeObject*>(tickType.ptr()),
                             reinterpret_cast<PyTypeObject*>(client.ptr()));
}

// The module's attributes as the first initialisation registered them.
PyObject* registeredAttributes = nullptr;

// The module object, as the library's BOOST_PYTHON_MODULE makes it (and the interpreter's
// copy of a module that cannot be initialised twice).
PyObject* makeModule() {
  static PyMethodDef noMethods[] = {{nullptr, nullptr, 0, nullptr}};
  // The module is made again at each import that finds no module in sys.modules, and
  // the interpreter keeps no copy of its attributes for that (size 0, not -1): so every
  // import, in whatever interpreter, reaches the check in PyInit_OrvCpp.
  static PyModuleDef definition = {
      PyModuleDef_HEAD_INIT, "OrvCpp", nullptr, 0, noMethods, nullptr, nullptr, nullptr, nullptr};
  if (registeredAttributes) {
    // Imported again after its removal from sys.modules: a new module with the
    // attributes that the first import registered, as the interpreter's copy would be.
    PyObject* module = PyModule_Create(&definition);
    if (module && PyDict_Update(PyModule_GetDict(module), registeredAttributes) < 0)
      Py_CLEAR(module);
    return module;
  }
  PyObject* module = boost::python::detail::init_module(definition, &registerModule);
  if (module) {
    registeredAttributes = PyDict_Copy(PyModule_GetDict(module));
    if (!registeredAttributes) Py_CLEAR(module);
  }
  return module;
}

}  // namespace

// The module's initialisation, after a check of where it runs: the module keeps
// process-wide state (the registered types, the library's converter registry, caches of
// both), which belongs to one interpreter, so it loads in the main interpreter only.
// Anywhere else the import fails before anything is registered.
extern "C" BOOST_SYMBOL_EXPORT PyObject* PyInit_OrvCpp() {
  if (!bridge::inMainInterpreter()) {
    PyErr_SetString(PyExc_ImportError,
                    "OrvCpp can be imported in the main interpreter only: it keeps "
                    "process-wide state, which a subinterpreter must not share");
    return nullptr;
  }
  return makeModule();
}
