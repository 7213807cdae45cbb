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

#include <utility>

#include <boost/python/converter/registered.hpp>
#include <boost/python/converter/rvalue_from_python_data.hpp>
#include <boost/python/default_call_policies.hpp>
#include <boost/python/detail/caller.hpp>
#include <boost/python/instance_holder.hpp>
#include <boost/python/module_init.hpp>
#include <boost/python/object/instance.hpp>
#include <boost/python/signature.hpp>
#include <boost/python/wrapper.hpp>
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

// The library's call of a C++ function `F` with its signature: what each entry's
// argument conversion, docstring and argument error are made of.
template <class F>
using LibrarySignature = decltype(boost::python::detail::get_signature(std::declval<F>()));
template <class F>
using LibraryCaller =
    boost::python::detail::caller<F, boost::python::default_call_policies, LibrarySignature<F>>;
using LibrarySignatureInfo = boost::python::detail::py_func_sig_info;

// The module object made and filled by `registration`, as the library's module
// definition makes it (errors translated), or null with the error set when the
// registration failed: Boost 1.74 then hands back the module with the error pending.
inline PyObject* initialiseModule(PyModuleDef& definition, void (*registration)()) {
  PyObject* module = boost::python::detail::init_module(definition, registration);
  if (module && PyErr_Occurred()) Py_CLEAR(module);
  return module;
}

// The Python object a wrapped C++ object lives in (set by the library's construction).
template <class Wrapped>
PyObject* wrapperOwner(const Wrapped& wrapped) {
  return boost::python::detail::wrapper_base_::get_owner(wrapped);
}

// The first of the C++ objects held by `instance`, an object of the library's instance
// layout, or null.
inline boost::python::instance_holder* firstHolder(PyObject* instance) {
  return reinterpret_cast<boost::python::objects::instance<>*>(instance)->objects;
}

// The library's registered conversions from Python to T, in the order it tries them.
template <class T>
const boost::python::converter::rvalue_from_python_chain* conversionsTo() {
  return boost::python::converter::registered<T>::converters.rvalue_chain;
}

// Makes the conversion to T whose test is `convertible`, when it is the first one
// registered, the only one, and returns the conversions it stood before (which the
// registry owned for the process, and which the caller keeps); null otherwise.
template <class T>
const boost::python::converter::rvalue_from_python_chain* keepOnlyFirstConversion(
    void* (*convertible)(PyObject*)) {
  auto& registration = const_cast<boost::python::converter::registration&>(
      boost::python::converter::registered<T>::converters);
  if (!registration.rvalue_chain || registration.rvalue_chain->convertible != convertible)
    return nullptr;
  const boost::python::converter::rvalue_from_python_chain* rest = registration.rvalue_chain->next;
  registration.rvalue_chain->next = nullptr;
  return rest;
}

// The library's metatype of its classes (`type(OrvClient)`).
PyTypeObject* libraryClassMetatype();

// The library's ArgumentError class (`Boost.Python.ArgumentError`, a TypeError), which it
// makes at the first call it refuses and keeps for the process: a new reference.
// Throws error_already_set.
PyObject* libraryArgumentError();

// The library's type of static data descriptors, which its metatype's attribute
// assignment sets through.
PyTypeObject* libraryStaticDataType();

// The definition a getset descriptor was made from (a descriptor of a native type), or
// null for any other object.
PyGetSetDef* getsetDefinition(PyObject* descriptor);

// The C function behind a getset descriptor's read (a descriptor of a native type), or
// null for any other object.
getter getsetReader(PyObject* descriptor);
// The same for its write.
setter getsetWriter(PyObject* descriptor);

// Puts `value` in the dictionary of a static type under `name`, as readying the type
// would have (a static type refuses attribute assignment), and tells the interpreter's
// caches.
void replaceTypeAttribute(PyTypeObject* type, const char* name, PyObject* value);

// The same for a method or a getset descriptor of `type`, made from its definition and
// put under the definition's name.
void installMethod(PyTypeObject* type, PyMethodDef* definition);
void installGetSet(PyTypeObject* type, PyGetSetDef* definition);

// How many native objects the library holds in `instance`, an object of its instance
// type (one per construction that ran for it).
int heldObjectCount(PyObject* instance);

// The docstring object stored in one of the library's function objects (borrowed), and
// its replacement.
PyObject* storedDocumentation(PyObject* function);
void storeDocumentation(PyObject* function, PyObject* documentation);

// The module's file loaded a second time from another directory (a vendored copy beside
// an installed one) is a second copy of its code that shares the library, and with it
// the converter registry, with the first. The first copy offers its module's attributes
// there, as the conversion to Python of a type of the module's own (the same name in
// every copy), so that a second copy hands out the classes registered already instead
// of registering a second set in the same registry.
void offerModuleAttributes(PyObject* (*attributes)(const void*));
// The attributes a copy offered (a new reference), or null with no error set when none
// did, or with the error set when the offer failed.
PyObject* moduleAttributesOfAnotherCopy();

}  // namespace internals
