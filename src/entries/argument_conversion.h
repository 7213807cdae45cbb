// Python arguments of the registered entries as native values: one conversion per
// parameter type, and the library's registry for everything else.
//
// Conversion<T> decides, for one parameter type, which objects it converts itself
// (accepts) and what each gives (value). Those are the objects of exact built-in types
// for which the library's built-in conversion gives a known answer, taken only while the
// registry holds nothing but that built-in conversion for T, so that a converter another
// extension registers later is honoured exactly as the library would honour it. The
// values are the library's, but for the deliberate differences written at each type
// (a truth test that raises, a __float__ that returns no float). Anything else goes
// through the registry (EntryArgument).
//
// The exact path (entry_caller.h) is a narrowing of the same conversion, not a second
// one: exact(object) holds for an accepted object whose value cannot fail to convert
// (an int kept in one digit that fits, a float, True, False, None, an all-ASCII str,
// bytes, a registered TickType member), and value<Exact>(object) is value(object) with
// the steps such an object never reaches left out. tests/test_conversion.py sends every
// value of its palette through both paths and requires the same results and errors.
#pragma once

#include <Python.h>

#include <boost/python/converter/from_python.hpp>
#include <boost/python/converter/registered.hpp>
#include <boost/python/converter/rvalue_from_python_data.hpp>
#include <boost/python/errors.hpp>
#include <boost/python/handle.hpp>
#include <boost/python/object/instance.hpp>
#include <climits>
#include <new>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "../call_state/held_arguments.h"
#include "../call_state/text_buffers.h"
#include "../common/registered.h"
#include "../internals/library_internals.h"
#include "../internals/library_objects.h"
#include "../internals/python_compat.h"
#include "../internals/type_slots.h"
#include "../overrides/orv_client_wrapper.h"
#include "../tick_type/tick_type.h"
#include "../tick_type/tick_type_objects.h"

namespace entries {

// True when the library's only from-Python conversion for T is the built-in one that it
// registers before any extension module can register anything.
template <class T>
inline bool onlyBuiltInConversion() {
  const boost::python::converter::rvalue_from_python_chain* chain = internals::conversionsTo<T>();
  return chain != nullptr && chain->next == nullptr;
}

// Marks a step that an exact object never reaches: value<true> leaves it out.
template <bool Exact>
[[gnu::always_inline]] inline void onlyInexact() {
  if constexpr (Exact) __builtin_unreachable();
}

// An exact int (not a bool, not a subclass) that the interpreter keeps in one digit, and
// its value: read in place, without any possible failure.
[[gnu::always_inline]] inline bool oneDigitInt(PyObject* object, long* value) {
  return PyLong_CheckExact(object) && internals::compactIntValue(object, value);
}

template <class T>
struct Conversion {
  static bool accepts(PyObject*) { return false; }
  static bool exact(PyObject*) { return false; }
};

// int: an int or a bool, read as a C long and narrowed with a check, whose failure the
// library reports as OverflowError (the entry names the argument: argument_errors.h).
template <>
struct Conversion<int> {
  [[gnu::always_inline]] static bool accepts(PyObject* object) {
    return (PyLong_CheckExact(object) || PyBool_Check(object)) && onlyBuiltInConversion<int>();
  }
  [[gnu::always_inline]] static bool exact(PyObject* object) {
    long wide;
    return (PyLong_CheckExact(object) || PyBool_Check(object)) &&
           internals::compactIntValue(object, &wide) && wide >= INT_MIN && wide <= INT_MAX &&
           onlyBuiltInConversion<int>();
  }
  template <bool Exact = false>
  [[gnu::always_inline]] static int value(PyObject* object) {
    long wide;
    if (!internals::compactIntValue(object, &wide)) {
      onlyInexact<Exact>();
      wide = PyLong_AsLong(object);
      if (wide == -1 && PyErr_Occurred()) boost::python::throw_error_already_set();
    }
    if constexpr (!Exact) {
      if (wide < INT_MIN || wide > INT_MAX) outOfRange();
    }
    return static_cast<int>(wide);
  }

 private:
  [[noreturn, gnu::cold, gnu::noinline]] static void outOfRange() {
    PyErr_SetString(PyExc_OverflowError, "value out of range for a 32-bit int");
    throw boost::python::error_already_set();
  }
};

// bool: the object's truth value; None is false. The built-in conversion accepts any
// int, subclasses included, but ignores a truth test that raises; here the error
// propagates.
template <>
struct Conversion<bool> {
  [[gnu::always_inline]] static bool accepts(PyObject* object) {
    return (object == Py_True || object == Py_False || object == Py_None || PyLong_Check(object)) &&
           onlyBuiltInConversion<bool>();
  }
  [[gnu::always_inline]] static bool exact(PyObject* object) {
    long number;
    return (object == Py_True || object == Py_False || object == Py_None ||
            oneDigitInt(object, &number)) &&
           onlyBuiltInConversion<bool>();
  }
  template <bool Exact = false>
  [[gnu::always_inline]] static bool value(PyObject* object) {
    if (object == Py_True) return true;
    if (object == Py_False || object == Py_None) return false;
    long number;
    if (oneDigitInt(object, &number)) return number != 0;
    onlyInexact<Exact>();
    return truth(object);
  }

 private:
  [[gnu::noinline]] static bool truth(PyObject* object) {
    int truth = PyObject_IsTrue(object);
    if (truth < 0) boost::python::throw_error_already_set();
    return truth != 0;
  }
};

// double: a float's value, or an int through its float conversion. A float subclass is
// converted as float() converts it, through its __float__, whose result must be a float:
// the built-in conversion calls the same method but reads whatever it returns as a
// float, so a __float__ returning a str, None or an int would hand on another object's
// bits. An int of one digit is below 2**30 in magnitude, so its double is exact: what
// PyLong_AsDouble gives.
template <>
struct Conversion<double> {
  [[gnu::always_inline]] static bool accepts(PyObject* object) {
    return (PyFloat_Check(object) || PyLong_CheckExact(object)) && onlyBuiltInConversion<double>();
  }
  [[gnu::always_inline]] static bool exact(PyObject* object) {
    long number;
    return (PyFloat_CheckExact(object) || oneDigitInt(object, &number)) &&
           onlyBuiltInConversion<double>();
  }
  template <bool Exact = false>
  [[gnu::always_inline]] static double value(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    long number;
    if (oneDigitInt(object, &number)) return static_cast<double>(number);
    onlyInexact<Exact>();
    return PyLong_CheckExact(object) ? wholeNumber(object) : subclassValue(object);
  }

 private:
  [[gnu::noinline]] static double wholeNumber(PyObject* object) {
    double value = PyLong_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) boost::python::throw_error_already_set();
    return value;
  }
  [[gnu::noinline]] static double subclassValue(PyObject* object) {
    boost::python::handle<> number(PyNumber_Float(object));
    return PyFloat_AS_DOUBLE(number.get());
  }
};

// Text: the bytes of a bytes object, or the UTF-8 encoding of a str. A str in the
// interpreter's compact ASCII form is its own UTF-8 encoding, so its characters are
// copied as they are; any other str is encoded exactly as the library does it (a lone
// surrogate raises UnicodeEncodeError). A text that needs storage of its own is copied
// into storage kept from an earlier call (call_state/text_buffers.h).
template <>
struct Conversion<std::string> {
  [[gnu::always_inline]] static bool accepts(PyObject* object) {
    return (PyUnicode_CheckExact(object) || PyBytes_CheckExact(object)) &&
           onlyBuiltInConversion<std::string>();
  }
  [[gnu::always_inline]] static bool exact(PyObject* object) {
    return ((PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) ||
            PyBytes_CheckExact(object)) &&
           onlyBuiltInConversion<std::string>();
  }
  template <bool Exact = false>
  [[gnu::always_inline]] static std::string value(PyObject* object) {
    if (PyBytes_CheckExact(object))
      return call_state::TextBuffers::text(PyBytes_AS_STRING(object),
                                           static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    if (PyUnicode_IS_COMPACT_ASCII(object))
      return call_state::TextBuffers::text(internals::compactAsciiData(object),
                                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
    onlyInexact<Exact>();
    return encoded(object);
  }

 private:
  [[gnu::noinline]] static std::string encoded(PyObject* object) {
    boost::python::handle<> bytes(PyUnicode_AsUTF8String(object));
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  }
};

// TickType: the module's own conversion (tick_type_objects.h, registered first and alone
// by module/register_tick_type.cpp) converts through the registry. An object of exactly
// the TickType class holding a value that fits 32 bits, while that conversion is the
// registry's only one, is its narrowing: isinstance() answers at once for the exact
// class, and the value is read as that conversion reads it.
template <>
struct Conversion<TickType> {
  static bool accepts(PyObject*) { return false; }
  [[gnu::always_inline]] static bool exact(PyObject* object) {
    long number;
    if (Py_TYPE(object) != common::registered.tickType ||
        !internals::compactIntValue(object, &number) || number < INT_MIN || number > INT_MAX)
      return false;
    const boost::python::converter::rvalue_from_python_chain* chain =
        internals::conversionsTo<TickType>();
    return chain != nullptr && chain->convertible == &tick_type::convertibleTickType &&
           chain->next == nullptr;
  }
  // Only ever asked for an exact object: accepts() takes none.
  template <bool Exact = false>
  [[gnu::always_inline]] static TickType value(PyObject* object) {
    long number = 0;
    internals::compactIntValue(object, &number);
    return static_cast<TickType>(number);
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
    PyTypeObject* library = common::registered.classMetatype;
    return (metatype == library || PyType_IsSubtype(metatype, library)) &&
           !PyType_IsSubtype(Py_TYPE(source), instanceType());
  }

  static PyTypeObject* instanceType() { return common::registered.instanceBase; }

  // `type`, or a metaclass of the module's own that is known not to derive from the
  // library's (TickType's): their objects are told apart as quickly as those of `type`.
  static bool isPlainMetatype(PyTypeObject* metatype) {
    return metatype == &PyType_Type || metatype == common::registered.tickTypeMetaclass;
  }
};

// One positional argument of a registered entry, converted in the library's two stages:
// accept() decides whether the object converts at all, without any effect; convert()
// then produces the value and may raise. A value the conversion constructed is handed
// on by move; one it only points to (a C++ object held by a Python object of another
// extension) is copied, so that the caller's object keeps it.
//
// Three routes give the library's result. The direct one is Conversion<T>. An object whose
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
    if (Conversion<T>::accepts(source)) {
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
      new (data_.storage.bytes) T(Conversion<T>::value(source_));
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
    PyTypeObject* registeredClass = common::registered.client;
    if (type == registeredClass || internals::typeBase(type) == registeredClass ||
        isKnownInstanceClass(type)) {
      boost::python::instance_holder* holder = internals::firstHolder(source);
      if (holder && typeid(*holder) == typeid(Holder) && heldOffset_ >= 0)
        return reinterpret_cast<OrvClientWrapper*>(reinterpret_cast<char*>(holder) + heldOffset_);
    }
    return findGenerally(source);
  }

 private:
  using Holder = internals::ValueHolder<OrvClientWrapper>;

  // A class whose layout base is the registered class has its layout (assigning
  // `__bases__` changes that base only to one of the same layout). Of other classes, the
  // last one found to have the library's instance layout is remembered with its version
  // tag: the interpreter gives a class a new tag when its bases change, and never gives
  // a class that replaces a dead one at the same address the dead one's tag, so a
  // matching valid tag means the same class. Where tags can come back, each such class
  // is checked on every call.
  static bool isKnownInstanceClass(PyTypeObject* type) {
    if constexpr (internals::versionTagsCanRecur) return false;
    unsigned int version = internals::validVersionTag(type);
    return type == knownInstanceClass_ && version != 0 && version == knownVersionTag_;
  }

  // (The library's converters may be any module's, and run Python code.)
  [[gnu::noinline]] static OrvClientWrapper* findGenerally(PyObject* source) {
    call_state::holdEntryArguments();
    PyTypeObject* type = Py_TYPE(source);
    if (PyType_IsSubtype(type, LibraryInstances::instanceType())) {
      if (unsigned int version = internals::versionTagsCanRecur ? 0 : internals::validVersionTag(type)) {
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

}  // namespace entries
