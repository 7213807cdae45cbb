// The library's object types that the module derives from or makes itself, under names
// of the module's own: its function type (the entries are objects of a subtype of it),
// the caller of any signature that a function object holds, the holder that keeps a
// native object inside a Python instance, and the definition of a class attribute as the
// library defines a class's methods. They are aliases and thin calls: the types are the
// library's own, so the C++ type names it prints (in argument errors, for one) and the
// objects it makes are unchanged.
#pragma once

#include <Python.h>

#include <boost/mpl/vector.hpp>
#include <boost/python/object.hpp>
#include <boost/python/object/add_to_namespace.hpp>
#include <boost/python/object/function.hpp>
#include <boost/python/object/make_holder.hpp>
#include <boost/python/object/py_function.hpp>
#include <boost/python/object/value_holder.hpp>

namespace internals {

// The library's function type: an overload chain of C++ callers with a name, a
// docstring and a place in a class.
using LibraryFunction = boost::python::objects::function;

// A C++ caller of any signature, as a function object holds it.
using ErasedCaller = boost::python::objects::py_function;

// The holder that keeps a `Held` by value inside a Python instance of the library's
// instance layout.
template <class Held>
using ValueHolder = boost::python::objects::value_holder<Held>;

// Builds a `Held` from no arguments inside `instance` in a ValueHolder, as the library's
// own `__init__` for it does. Throws what the construction throws.
template <class Held>
void constructHeldObject(PyObject* instance) {
  boost::python::objects::make_holder<0>::apply<ValueHolder<Held>, boost::mpl::vector0<>>::execute(
      instance);
}

// Defines `name` on the class `cls` as the library defines a class's methods: the
// function gets the name and its place in the class (and with it `__module__`), and a
// function of the library's already there under that name gets it as an overload.
inline void defineClassAttribute(const boost::python::object& cls, const char* name,
                                 const boost::python::object& attribute) {
  boost::python::objects::add_to_namespace(cls, name, attribute);
}

}  // namespace internals
