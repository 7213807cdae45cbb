// The registered entries as objects of the module's own subtype of the library's
// function type, which the interpreter calls with the arguments in place: no argument
// tuple, no pass through the library's overload walk. Whatever the quick call cannot
// decide alone goes to the library's own call, so results and errors stay the library's.
#pragma once

#include <Python.h>

#include <boost/python/object/function.hpp>
#include <boost/python/object/py_function.hpp>

#include "argument_errors.h"
#include "python_compat.h"

namespace bridge {

// One of the library's function objects with room for the interpreter's per-object
// call entry (null where there is no quick call: the interpreter then calls the type's
// call slot) and for what its argument errors name. It is made as the library's type
// and registered like any of its functions, so its name, docstring and place in the
// class are the library's; then adoptEntry gives it the module's subtype, whose call
// slot is the library's followed, when the call was refused, by the explanation.
struct EntryFunction : boost::python::objects::function {
  EntryFunction(const boost::python::objects::py_function& caller, vectorcallfunc quickCall,
                const EntryParameters* parameters)
      : function(caller, nullptr, 0), vectorcall(quickCall), parameters(parameters) {}
  vectorcallfunc vectorcall;
  const EntryParameters* parameters;
};

// Gives a registered entry the module's subtype (made at the first call).
void adoptEntry(EntryFunction* entry);

// Whether `object` is an entry of the module's subtype.
bool isEntryFunction(PyObject* object);

// The entry's call through its type's call slot: the arguments as a tuple (and keywords
// as a dictionary) for the library's call, and a refusal explained.
PyObject* callThroughLibrary(PyObject* entry, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames);

// The library's argument error for these positional arguments, produced by the library
// itself without asking the entry's caller again (a call with keywords, which an entry
// without keyword names never accepts, goes straight to the argument error, whose text
// names only the positional arguments), then explained.
PyObject* refuseThroughLibrary(PyObject* entry, PyObject* const* args, Py_ssize_t count);

}  // namespace bridge
