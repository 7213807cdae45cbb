// The OrvCpp extension module: TickType first, then OrvClient, then the defences that
// shape them, and the pickling of argument errors (whose one module attribute,
// _rebuild_argument_error, is private); nothing else.
#include <boost/python/module.hpp>

#include <string>

#include "../entries/argument_error_pickling.h"
#include "../overrides/override_lookup.h"
#include "../tick_type/tick_type_objects.h"
#include "../defences/defences.h"
#include "../shutdown/parked_objects.h"
#include "../common/error_policy.h"
#include "../internals/library_internals.h"
#include "../internals/python_compat.h"
#include "../internals/type_slots.h"
#include "registration.h"
#include "subclass_check.h"

namespace module_init {

namespace {

// The module's attributes as the initialisation registered them, here or in another copy
// of the module's file.
PyObject* registeredAttributes = nullptr;

PyObject* offeredAttributes(const void*) {
  if (registeredAttributes) return PyDict_Copy(registeredAttributes);
  PyErr_SetString(PyExc_ImportError, "OrvCpp's first initialisation did not complete");
  return nullptr;
}

void registerModule() {
  boost::python::object tickType = registerTickType();
  tick_type::rememberTickTypeMembers(tickType.ptr());
  defences::guardRepresentation();
  defences::guardTickTypeConstruction();
  defences::giveSubclassesTheAllocator();
  registerClient();
  defences::makeInstancesCollectable();
  defences::guardInstanceDictionary();
  defences::guardWeakReferences();
  defences::guardClassAttributes();
  defences::guardDocumentation();
  defences::guardLibraryCalls();
  overrides::prepareOverrideLookup();
  prepareSubclassCheck(reinterpret_cast<PyObject*>(common::registered.client));
  entries::makeArgumentErrorsPicklable();
  shutdown::releaseParkedObjectsAtExit();
  internals::offerModuleAttributes(&offeredAttributes);
}

// Why the first initialisation failed, once it has: the library's registrations it made
// last for the process, so it is not tried again.
std::string failedInitialisation;

// Reading the error's text may fail in turn: the rule decides which error the import
// raises, and the text is then left out.
void rememberFailure() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  const char* utf8 = text ? PyUnicode_AsUTF8(text) : nullptr;
  failedInitialisation =
      std::string(type ? internals::typeName(reinterpret_cast<PyTypeObject*>(type)) : "error") +
      (utf8 && *utf8 ? std::string(": ") + utf8 : std::string());
  Py_XDECREF(text);
  if (value && !utf8)
    common::settleSecondaryError(type, value, traceback);
  else
    PyErr_Restore(type, value, traceback);
}

PyObject* watched(PyObject* module) {
  if (module && !shutdown::watchModuleObject(module)) Py_CLEAR(module);
  return module;
}

// The module object, as the library's BOOST_PYTHON_MODULE makes it (and the interpreter's
// copy of a module that cannot be initialised twice).
PyObject* makeModule() {
  static PyMethodDef noMethods[] = {{nullptr, nullptr, 0, nullptr}};
  // The module is made again at each import that finds no module in sys.modules, and
  // the interpreter keeps no copy of its attributes for that (size 0, not -1): so every
  // import, in whatever interpreter, reaches the check in PyInit_OrvCpp.
  static PyModuleDef definition = {
      PyModuleDef_HEAD_INIT, "OrvCpp", nullptr, 0, noMethods, nullptr, nullptr, nullptr, nullptr};
  if (!registeredAttributes) {
    registeredAttributes = internals::moduleAttributesOfAnotherCopy();
    if (!registeredAttributes && PyErr_Occurred()) return nullptr;
  }
  if (registeredAttributes) {
    // Imported again after its removal from sys.modules, or a copy of the module's file
    // loaded from elsewhere after another: a new module with the attributes that the
    // first import registered, as the interpreter's copy would be.
    PyObject* module = PyModule_Create(&definition);
    if (module && PyDict_Update(PyModule_GetDict(module), registeredAttributes) < 0)
      Py_CLEAR(module);
    return watched(module);
  }
  if (!failedInitialisation.empty()) {
    PyErr_Format(PyExc_ImportError,
                 "OrvCpp cannot be imported in this process: its first initialisation failed "
                 "(%s), and what it registered in the binding library stays; start a new "
                 "interpreter",
                 failedInitialisation.c_str());
    return nullptr;
  }
  PyObject* module = internals::initialiseModule(definition, &registerModule);
  if (module) {
    registeredAttributes = PyDict_Copy(PyModule_GetDict(module));
    if (!registeredAttributes) Py_CLEAR(module);
  }
  if (!module) {
    rememberFailure();
    return nullptr;
  }
  return watched(module);
}

}  // namespace

}  // namespace module_init

// The module's initialisation, after a check of where it runs: the module keeps
// process-wide state (the registered types, the library's converter registry, caches of
// both), which belongs to one interpreter, so it loads in the main interpreter only.
// Anywhere else the import fails before anything is registered.
extern "C" BOOST_SYMBOL_EXPORT PyObject* PyInit_OrvCpp() {
  if (!internals::inMainInterpreter()) {
    PyErr_SetString(PyExc_ImportError,
                    "OrvCpp can be imported in the main interpreter only: it keeps "
                    "process-wide state, which a subinterpreter must not share");
    return nullptr;
  }
  return module_init::makeModule();
}
