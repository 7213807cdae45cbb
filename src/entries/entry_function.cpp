#include "entry_function.h"

#include <boost/python/errors.hpp>

#include "../internals/library_calls.h"
#include "../internals/stack_bound.h"
#include "../internals/type_slots.h"

namespace entries {
namespace {

// The subtype. The library's type does not admit subtypes made the usual ways (a class
// statement, PyType_FromSpecWithBases), which refuse bases not marked as base types, so
// it is a static type, readied by the interpreter like the library's own.
PyTypeObject entryType;
bool entryTypeReady = false;
PyObject* anyKeyword = nullptr;  // {"": None}, a keyword no entry accepts

void deallocate(PyObject* self) { delete static_cast<EntryFunction*>(self); }

// The call slot: the library's call, bounded (internals/library_calls.h); when the call
// was refused or an argument was out of range, the failure explained. (Quick calls
// reach this only for calls they leave to the library.)
PyObject* callEntry(PyObject* self, PyObject* args, PyObject* keywords) {
  return internals::boundedLibraryCall(self, args, keywords, [&] {
    if (const EntryParameters* parameters = static_cast<EntryFunction*>(self)->parameters)
      explainFailure(*parameters, args, keywords);
  });
}

// `__text_signature__`, which inspect.signature reads (and help() and pydoc through it):
// self and the parameters by the names their argument errors use, all positional-only.
// An entry without that description has one only when it takes self alone.
PyObject* readTextSignature(PyObject* self, void*) {
  auto* entry = static_cast<EntryFunction*>(self);
  if (entry->parameters) {
    const EntryParameters& parameters = *entry->parameters;
    std::string names = joinedNames(parameters.names, parameters.count);
    return PyUnicode_FromFormat("($self%s%s, /)", names.empty() ? "" : ", ", names.c_str());
  }
  if (entry->arity == 1) return PyUnicode_FromString("($self, /)");
  Py_RETURN_NONE;
}

// Read-only: a getset without a setter refuses writes and deletions.
PyGetSetDef entryAttributes[] = {
    {"__text_signature__", &readTextSignature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The library's layout plus the call entry, with the call slot above, the library's
// attributes and the text signature, and the library's binding, so that
// `client.place_order(...)` calls it without making a bound method.
void readyEntryType(PyTypeObject* library, Py_ssize_t vectorcallOffset) {
  Py_INCREF(&entryType);  // held by the module for good, as a static type must be
  internals::readyFunctionSubtype(entryType, library, "OrvCpp.function",
                                  static_cast<Py_ssize_t>(sizeof(EntryFunction)), &deallocate,
                                  &callEntry, entryAttributes, vectorcallOffset);
  // Readying gives the type a `__doc__` of None that would hide the library's
  // docstring descriptor from the objects: the library's descriptor takes its place.
  PyObject* doc = PyDict_GetItemString(internals::typeDictionary(library), "__doc__");
  if (doc && PyDict_SetItemString(internals::typeDictionary(&entryType), "__doc__", doc) < 0)
    boost::python::throw_error_already_set();
  PyType_Modified(&entryType);
  anyKeyword = Py_BuildValue("{sO}", "", Py_None);
  if (!anyKeyword) boost::python::throw_error_already_set();
  entryTypeReady = true;
}

// The positional arguments of a call as the tuple the library's call slot takes.
PyObject* positionalTuple(PyObject* const* args, Py_ssize_t count) {
  PyObject* positional = PyTuple_New(count);
  if (!positional) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(positional, i, args[i]);
  }
  return positional;
}

}  // namespace

void adoptEntry(PyObject* object) {
  auto* entry = static_cast<EntryFunction*>(object);
  // Held by the module for good: a call in progress reads its entry after Python code
  // has run, and by then the program may have dropped every other reference (deleted
  // the method from the class, replaced the function a partial holds).
  Py_INCREF(object);
  if (!entryTypeReady) {
    // Where the call entry sits in the object, measured on the object itself.
    Py_ssize_t offset = reinterpret_cast<char*>(&entry->vectorcall) -
                        reinterpret_cast<char*>(static_cast<PyObject*>(entry));
    readyEntryType(Py_TYPE(entry), offset);
  }
  internals::setType(entry, &entryType);
}


PyObject* callThroughLibrary(PyObject* entry, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
  Py_ssize_t count = PyVectorcall_NARGS(nargsf);
  PyObject* positional = positionalTuple(args, count);
  if (!positional) return nullptr;
  PyObject* keywords = nullptr;
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    keywords = PyDict_New();
    for (Py_ssize_t i = 0; keywords && i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, i), args[count + i]) < 0)
        Py_CLEAR(keywords);
    }
    if (!keywords) {
      Py_DECREF(positional);
      return nullptr;
    }
  }
  PyObject* result = internals::typeCall(Py_TYPE(entry))(entry, positional, keywords);
  Py_DECREF(positional);
  Py_XDECREF(keywords);
  return result;
}

PyObject* refuseThroughLibrary(PyObject* entry, PyObject* const* args, Py_ssize_t count) {
  PyObject* positional = positionalTuple(args, count);
  if (!positional) return nullptr;
  PyObject* result = internals::boundedLibraryCall(entry, positional, anyKeyword, [&] {
    if (const EntryParameters* parameters = static_cast<EntryFunction*>(entry)->parameters)
      explainRefusal(*parameters, positional, nullptr);
  });
  Py_DECREF(positional);
  return result;
}

}  // namespace entries
