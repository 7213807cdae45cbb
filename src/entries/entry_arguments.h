// Python arguments of the registered entries as native values.
//
// Every conversion gives exactly what the library's own argument conversion gives, with
// the same errors; only the work differs. An argument of an exact built-in type (int,
// bool, float, str, bytes, None), for which the library's answer is known in advance,
// is converted directly; anything else goes through the library's converter registry.
// The direct path is taken only while the registry holds nothing but the library's
// built-in conversion for the native type, so that a converter another extension
// registers later is honoured exactly as the library would honour it.
#pragma once

#include <Python.h>

#include <boost/numeric/conversion/cast.hpp>
#include <boost/python/converter/from_python.hpp>
#include <boost/python/converter/registered.hpp>
#include <boost/python/converter/rvalue_from_python_data.hpp>
#include <boost/python/errors.hpp>
#include <boost/python/handle.hpp>
#include <boost/python/object/instance.hpp>
#include <boost/python/object/value_holder.hpp>
#include <new>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "../defences/registered.h"
#include "held_arguments.h"
#include "../overrides/orv_client_wrapper.h"
#include "../internals/library_internals.h"
#include "../internals/python_compat.h"

namespace bridge {

// True when the library's only from-Python conversion for T is the built-in one that it
// registers before any extension module can register anything.
template <class T>
inline bool onlyBuiltInConversion() {
  const boost::python::converter::rvalue_from_python_chain* chain = internals::conversionsTo<T>();
  return chain != nullptr && chain->next == nullptr;
}

// The direct conversion of one native type: applies() tells whether it applies to a
// Python object (a pure type test, so that trying it has no effect); convert()
// constructs the value in `storage` and may raise.
template <class T>
struct DirectConversion {
  static bool applies(PyObject*) { return false; }
  static void convert(PyObject*, void*) {}
};

// int: the built-in conversion reads the object as a C long, then narrows it with a
// checked cast whose overflow the library reports as OverflowError.
template <>
struct DirectConversion<int> {
  static bool applies(PyObject* source) {
    return (PyLong_CheckExact(source) || PyBool_Check(source)) && onlyBuiltInConversion<int>();
  }
  static void convert(PyObject* source, void* storage) {
    long wide;
    if (!compactIntValue(source, &wide)) {
      wide = PyLong_AsLong(source);
      if (wide == -1 && PyErr_Occurred()) boost::python::throw_error_already_set();
    }
    new (storage) int(boost::numeric_cast<int>(wide));
  }
};

// bool: the object's truth value; None is false. The built-in conversion accepts any
// int, subclasses included, but ignores a truth test that raises; here the error
// propagates.
template <>
struct DirectConversion<bool> {
  static bool applies(PyObject* source) {
    return (source == Py_True || source == Py_False || source == Py_None ||
            PyLong_Check(source)) &&
           onlyBuiltInConversion<bool>();
  }
  static void convert(PyObject* source, void* storage) {
    if (source == Py_True || source == Py_False || source == Py_None || PyLong_CheckExact(source)) {
      new (storage) bool(source == Py_True || (source != Py_False && source != Py_None &&
                                               PyObject_IsTrue(source) != 0));
      return;
    }
    int truth = PyObject_IsTrue(source);
    if (truth < 0) boost::python::throw_error_already_set();
    new (storage) bool(truth != 0);
  }
};

// double: a float's value, or an int through its float conversion. A float subclass is
// converted as float() converts it, through its __float__, whose result must be a float:
// the built-in conversion calls the same method but reads whatever it returns as a
// float, so a __float__ returning a str, None or an int would hand on another object's
// bits.
template <>
struct DirectConversion<double> {
  static bool applies(PyObject* source) {
    return (PyFloat_CheckExact(source) || PyLong_CheckExact(source) || PyFloat_Check(source)) &&
           onlyBuiltInConversion<double>();
  }
  static void convert(PyObject* source, void* storage) {
    if (PyFloat_CheckExact(source)) {
      new (storage) double(PyFloat_AS_DOUBLE(source));
      return;
    }
    if (!PyLong_CheckExact(source)) {
      new (storage) double(subclassValue(source));
      return;
    }
    double value = PyLong_AsDouble(source);
    if (value == -1.0 && PyErr_Occurred()) boost::python::throw_error_already_set();
    new (storage) double(value);
  }

 private:
  [[gnu::noinline]] static double subclassValue(PyObject* source) {
    boost::python::handle<> number(PyNumber_Float(source));
    return PyFloat_AS_DOUBLE(number.get());
  }
};

// Text: the bytes of a bytes object, or the UTF-8 encoding of a str. An all-ASCII str
// is its own UTF-8 encoding, so its characters are copied as they are; any other str is
// encoded exactly as the library does it (a lone surrogate raises UnicodeEncodeError).
template <>
struct DirectConversion<std::string> {
  static bool applies(PyObject* source) {
    return (PyUnicode_CheckExact(source) || PyBytes_CheckExact(source)) &&
           onlyBuiltInConversion<std::string>();
  }
  static void convert(PyObject* source, void* storage) {
    if (PyBytes_CheckExact(source)) {
      new (storage) std::string(PyBytes_AS_STRING(source),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(source)));
    } else if (PyUnicode_IS_READY(source) && PyUnicode_IS_ASCII(source)) {
      new (storage) std::string(static_cast<const char*>(PyUnicode_DATA(source)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(source)));
    } else {
      boost::python::handle<> encoded(PyUnicode_AsUTF8String(source));
      new (storage) std::string(PyBytes_AS_STRING(encoded.get()),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    }
  }
};

// Objects of classes made with the library's metaclass. The library takes every such
// object for one of its instances and reads a list of held C++ objects out of it, in
// any argument position; a class made with that metaclass from other bases
// (`type(OrvClient)("X", (int,), {})`) has another layout, and the read goes into the
// object's own data. Such objects are refused as arguments, before the library sees them.
class LibraryInstances {
 public:
  // Whether the object's class has the library's metaclass but not its instance layout.
  static bool misshapen(PyObject* source) {
    PyTypeObject* metatype = Py_TYPE(Py_TYPE(source));
    PyTypeObject* library = defences::registered.classMetatype;
    return (metatype == library || PyType_IsSubtype(metatype, library)) &&
           !PyType_IsSubtype(Py_TYPE(source), instanceType());
  }

  static PyTypeObject* instanceType() { return defences::registered.instanceBase; }

  // `type`, or a metaclass of the module's own that is known not to derive from the
  // library's (TickType's): their objects are told apart as quickly as those of `type`.
  static bool isPlainMetatype(PyTypeObject* metatype) {
    return metatype == &PyType_Type || metatype == defences::registered.tickTypeMetaclass;
  }
};

// One positional argument of a registered entry, converted in the library's two stages:
// accept() decides whether the object converts at all, without any effect; convert()
// then produces the value and may raise. A value the conversion constructed is handed
// on by move; one it only points to (a C++ object held by a Python object of another
// extension) is copied, so that the caller's object keeps it.
//
// Three routes give the library's result. The direct one is above. An object whose
// class is a plain Python class (its metaclass is `type`) cannot hold a wrapped C++
// object, so the library's first step, a search for one, would find nothing, and the
// registered converters decide alone: they are asked here in the library's order. The
// same holds for TickType's metaclass, a subclass of `type` of the module's own.
// An object of the library's metaclass without its instance layout is refused (see
// LibraryInstances). Anything else takes the library's own first stage. The second
// stage is the library's for both.
template <class T>
class EntryArgument {
 public:
  [[gnu::always_inline]] bool accept(PyObject* source) {
    source_ = source;
    if (DirectConversion<T>::applies(source)) {
      direct_ = true;
      return true;
    }
    return acceptGenerally(source);
  }

  // The two routes through the registry, out of line: the direct one is the common case.
  [[gnu::noinline]] bool acceptGenerally(PyObject* source) {
    using namespace boost::python::converter;
    if (LibraryInstances::isPlainMetatype(Py_TYPE(Py_TYPE(source)))) {
      for (const rvalue_from_python_chain* chain = internals::conversionsTo<T>();
           chain != nullptr; chain = chain->next) {
        if (void* convertible = chain->convertible(source)) {
          data_.stage1 = {convertible, chain->construct};
          return true;
        }
      }
      return false;
    }
    if (LibraryInstances::misshapen(source)) return false;
    data_.stage1 = rvalue_from_python_stage1(source, registered<T>::converters);
    return data_.stage1.convertible != nullptr;
  }

  [[gnu::always_inline]] void convert() {
    if (direct_) {
      DirectConversion<T>::convert(source_, data_.storage.bytes);
      data_.stage1.convertible = data_.storage.bytes;
    } else if (data_.stage1.construct) {
      data_.stage1.construct(source_, &data_.stage1);
      // The library's own converters may succeed with an error pending (a truth test
      // that raised); the call must not go on with it.
      if (PyErr_Occurred()) boost::python::throw_error_already_set();
    } else if constexpr (!std::is_trivially_copyable_v<T>) {
      // A C++ object held by the Python object: copied into the storage, which then
      // owns the value handed on.
      new (data_.storage.bytes) T(*static_cast<const T*>(data_.stage1.convertible));
      data_.stage1.convertible = data_.storage.bytes;
    }
  }

  T&& take() { return static_cast<T&&>(*static_cast<T*>(data_.stage1.convertible)); }

 private:
  PyObject* source_ = nullptr;
  bool direct_ = false;
  boost::python::converter::rvalue_from_python_data<T> data_{
      boost::python::converter::rvalue_from_python_stage1_data{nullptr, nullptr}};
};

// The native object behind `self`. A Python OrvClient instance keeps its
// OrvClientWrapper in a value holder at a fixed offset from the holder, so once the
// holder is known to be that one, the object is found without asking the holder (which
// compares type names). Anything else is looked up by the library.
//
// Only an instance of the library's instance type has a holder list to read. The
// library assumes one whenever the object's metaclass is its own, but a class made
// with that metaclass from other bases (`type(OrvClient)("X", (object,), {})`) has
// another layout, so such an object is refused here before anything reads it.
class SelfArgument {
 public:
  static OrvClientWrapper* find(PyObject* source) {
    PyTypeObject* type = Py_TYPE(source);
    PyTypeObject* registeredClass = defences::registered.client;
    if (type == registeredClass || type->tp_base == registeredClass ||
        isKnownInstanceClass(type)) {
      boost::python::instance_holder* holder = internals::firstHolder(source);
      if (holder && typeid(*holder) == typeid(Holder) && heldOffset_ >= 0)
        return reinterpret_cast<OrvClientWrapper*>(reinterpret_cast<char*>(holder) + heldOffset_);
    }
    return findGenerally(source);
  }

 private:
  using Holder = boost::python::objects::value_holder<OrvClientWrapper>;

  // A class whose layout base is the registered class has its layout (assigning
  // `__bases__` changes that base only to one of the same layout). Of other classes, the
  // last one found to have the library's instance layout is remembered with its version
  // tag: the interpreter gives a class a new tag when its bases change, and never gives
  // a class that replaces a dead one at the same address the dead one's tag, so a
  // matching valid tag means the same class. Where tags can come back, each such class
  // is checked on every call.
  static bool isKnownInstanceClass(PyTypeObject* type) {
    if constexpr (versionTagsCanRecur) return false;
    unsigned int version = validVersionTag(type);
    return type == knownInstanceClass_ && version != 0 && version == knownVersionTag_;
  }

  // (The library's converters may be any module's, and run Python code.)
  [[gnu::noinline]] static OrvClientWrapper* findGenerally(PyObject* source) {
    holdEntryArguments();
    PyTypeObject* type = Py_TYPE(source);
    if (PyType_IsSubtype(type, LibraryInstances::instanceType())) {
      if (unsigned int version = versionTagsCanRecur ? 0 : validVersionTag(type)) {
        knownInstanceClass_ = type;
        knownVersionTag_ = version;
      }
      boost::python::instance_holder* holder = internals::firstHolder(source);
      if (holder && typeid(*holder) == typeid(Holder)) {
        if (heldOffset_ < 0) {
          void* held = holder->holds(boost::python::type_id<OrvClientWrapper>(), false);
          if (held) heldOffset_ = static_cast<char*>(held) - reinterpret_cast<char*>(holder);
        }
        if (heldOffset_ >= 0)
          return reinterpret_cast<OrvClientWrapper*>(reinterpret_cast<char*>(holder) + heldOffset_);
      }
    } else if (LibraryInstances::misshapen(source)) {
      return nullptr;
    }
    return static_cast<OrvClientWrapper*>(boost::python::converter::get_lvalue_from_python(
        source, boost::python::converter::registered<OrvClientWrapper>::converters));
  }

  static inline PyTypeObject* knownInstanceClass_ = nullptr;  // only ever compared
  static inline unsigned int knownVersionTag_ = 0;
  static inline std::ptrdiff_t heldOffset_ = -1;
};

}  // namespace bridge
