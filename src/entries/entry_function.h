// The registered functions as objects of the module's own subtype of the library's
// function type. The interpreter calls an entry with a quick call with the arguments in
// place: no argument tuple, no pass through the library's overload walk. Whatever the
// quick call cannot decide alone goes to the library's own call, so results and errors
// stay the library's. Every call through the library's walk goes through the subtype's
// call slot, which translates C++ exceptions as the library's does but lets the unwind
// of an ending thread through.
#pragma once

#include <Python.h>

#include <boost/python/default_call_policies.hpp>
#include <boost/python/detail/caller.hpp>
#include <boost/python/object.hpp>
#include <boost/python/signature.hpp>

#include "argument_errors.h"
#include "../internals/library_internals.h"
#include "../internals/library_objects.h"
#include "../internals/python_compat.h"

namespace entries {

// One of the library's function objects with room for the interpreter's per-object
// call entry (null where the function has no quick call: the interpreter then takes the
// type's call slot) and for what its argument errors name (null where the library's own
// text stands). It is made as the library's type and registered like any of its
// functions, so its name, docstring and place in the class are the library's; then
// adoptEntry gives it the module's subtype, whose call slot explains a refused call.
// `arity` counts self; it tells inspect.signature what the parameters are where no
// description names them.
struct EntryFunction : internals::LibraryFunction {
  EntryFunction(const internals::ErasedCaller& caller, vectorcallfunc quickCall,
                const EntryParameters* entryParameters, unsigned entryArity = 0)
      : function(caller, nullptr, 0),
        vectorcall(quickCall),
        parameters(entryParameters),
        arity(entryArity) {}
  vectorcallfunc vectorcall;
  const EntryParameters* parameters;
  unsigned arity;
};

// A new EntryFunction calling `caller`, as a Python object of the library's type.
inline boost::python::object entryObject(const internals::ErasedCaller& caller,
                                         vectorcallfunc quickCall,
                                         const EntryParameters* parameters = nullptr) {
  unsigned arity = caller.max_arity();  // read first: the library's copy moves the caller
  auto* entry = new EntryFunction(caller, quickCall, parameters, arity);
  return boost::python::object(boost::python::handle<>(static_cast<PyObject*>(entry)));
}

// The EntryFunction the library's make_function would make for `function` (its caller,
// its signature), without a quick call; its argument errors are explained when
// `parameters` describes them.
template <class F>
boost::python::object libraryEntry(F function, const EntryParameters* parameters = nullptr) {
  return entryObject(internals::ErasedCaller(internals::LibraryCaller<F>(
                         function, boost::python::default_call_policies())),
                     nullptr, parameters);
}

// Gives a registered function made by entryObject or libraryEntry the module's subtype
// (made at the first call), and keeps a reference to it for the life of the process.
void adoptEntry(PyObject* entry);

// The entry's call through its type's call slot: the arguments as a tuple (and keywords
// as a dictionary) for the library's call, and a refusal explained.
PyObject* callThroughLibrary(PyObject* entry, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames);

// The library's argument error for these positional arguments, produced by the library
// itself without asking the entry's caller again (a call with keywords, which an entry
// without keyword names never accepts, goes straight to the argument error, whose text
// names only the positional arguments), then explained.
PyObject* refuseThroughLibrary(PyObject* entry, PyObject* const* args, Py_ssize_t count);

}  // namespace entries
