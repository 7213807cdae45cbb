// `__doc__` (and its older name `func_doc`) of the entries. The library's function type
// builds the text from the stored docstring and the signatures, converting the stored
// object with str(), and throws a C++ exception out of its getter when that fails (a
// docstring object whose `__str__` raises): the process ends. The same text, with the
// error raised instead, for the module's function subtype (every entry), and where the
// library is the module's private copy for its function type too.
#include "../../internals/library_calls.h"
#include "../../internals/library_internals.h"
#include "../../internals/type_slots.h"
#include "../defences.h"

namespace {

getter libraryReader = nullptr;
setter libraryWriter = nullptr;

PyObject* readDocumentation(PyObject* function, void* context) {
  return internals::callLibrarySlot<PyObject*>(nullptr, libraryReader, function, context);
}

int writeDocumentation(PyObject* function, PyObject* value, void* context) {
  return internals::callLibrarySlot<int>(-1, libraryWriter, function, value, context);
}

PyGetSetDef documentation[] = {
    {"__doc__", readDocumentation, writeDocumentation, nullptr, nullptr},
    {"func_doc", readDocumentation, writeDocumentation, nullptr, nullptr},
};

void install(PyTypeObject* type) {
  for (PyGetSetDef& attribute : documentation) internals::installGetSet(type, &attribute);
}

}  // namespace

void defences::guardDocumentation() {
  PyTypeObject* library = common::registered.libraryFunction;
  if (!libraryReader) {
    PyObject* found = PyDict_GetItemString(internals::typeDictionary(library), "__doc__");
    libraryReader = internals::getsetReader(found);
    libraryWriter = internals::getsetWriter(found);
    if (!libraryReader || !libraryWriter) {
      PyErr_SetString(PyExc_SystemError, "the library's functions have no __doc__ as known");
      boost::python::throw_error_already_set();
    }
  }
  install(common::registered.entryFunction);
  if constexpr (internals::libraryIsPrivate) install(library);
}
