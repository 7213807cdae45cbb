// Every use of the binding library's internals, and the facts about its types that the
// module's defences act on, behind named functions. Checked against Boost.Python 1.74
// to 1.92 (the range the interpreter matrix builds with); any other version stops the
// build, to be checked first.
//
// The library's types (its instance base, class metatype, enumeration base and function
// type) are shared by every extension linked to the same copy of the library. Built the
// default way the module carries a private copy (its own file name and SONAME), so those
// types are the module's own and their faults are mended in place; built against an
// installed library (ORV_SHARED_BOOST_PYTHON) they are shared and left as they are.
#pragma once

#include <Python.h>

#include <boost/version.hpp>

#if BOOST_VERSION < 107400 || BOOST_VERSION >= 109300
#error "OrvCpp is checked against Boost.Python 1.74 to 1.92: check the library's internals (src/internals/library_internals.h) before building with another version"
#endif

namespace internals {

#ifdef ORV_SHARED_BOOST_PYTHON
constexpr bool libraryIsPrivate = false;
#else
constexpr bool libraryIsPrivate = true;
#endif

// The library's metatype of its classes (`type(OrvClient)`).
PyTypeObject* libraryClassMetatype();

// The library's type of static data descriptors, which its metatype's attribute
// assignment sets through.
PyTypeObject* libraryStaticDataType();

// The C function behind a getset descriptor's read (a descriptor of a native type), or
// null for any other object.
getter getsetReader(PyObject* descriptor);
// The same for its write.
setter getsetWriter(PyObject* descriptor);

// Puts `value` in the dictionary of a static type under `name`, as readying the type
// would have (a static type refuses attribute assignment), and tells the interpreter's
// caches.
void replaceTypeAttribute(PyTypeObject* type, const char* name, PyObject* value);

// How many native objects the library holds in `instance`, an object of its instance
// type (one per construction that ran for it).
int heldObjectCount(PyObject* instance);

// The docstring object stored in one of the library's function objects (borrowed), and
// its replacement.
PyObject* storedDocumentation(PyObject* function);
void storeDocumentation(PyObject* function, PyObject* documentation);

}  // namespace internals
