#include "argument_errors.h"

#include <boost/python/errors.hpp>
#include <cstring>
#include <stdexcept>

#include "../client/operation_traits.h"
#include "../common/error_policy.h"
#include "../common/error_texts.h"
#include "../common/registered.h"
#include "../internals/python_compat.h"
#include "../internals/type_slots.h"
#include "../overrides/override_lookup.h"


namespace entries {
namespace {

const char* tickTypeName(long value) {
  for (const TickTypeMember& member : tickTypeMembers)
    if (member.value == value) return member.name;
  return nullptr;
}

bool isTickTypeName(const char* text) {
  for (const TickTypeMember& member : tickTypeMembers)
    if (std::strcmp(text, member.name) == 0) return true;
  return false;
}

const char* acceptedType(ParameterKind kind) {
  switch (kind) {
    case ParameterKind::Int: return "int";
    case ParameterKind::Bool: return "bool";
    case ParameterKind::Float: return "float";
    case ParameterKind::Text: return "str";
    case ParameterKind::TickType: return "TickType";
  }
  return "?";
}

std::string parameterName(const EntryParameters& parameters, int position) {
  return parameters.names[position - 1];
}

// The text of an object of a built-in type through that type's own repr (no user code
// runs); false when it cannot be made, the error cleared. An error that must propagate
// (common/error_policy.h) stays pending and ends the explanation.
bool builtInRepr(PyObject* object, reprfunc repr, std::string* text) {
  PyObject* made = repr(object);
  const char* utf8 = made ? PyUnicode_AsUTF8(made) : nullptr;
  if (utf8) *text = utf8;
  Py_XDECREF(made);
  if (utf8) return true;
  if (common::keepErrorThatMustPropagate()) throw boost::python::error_already_set();
  return false;
}

// "int (4)", "str ('a')", "None", "Recorder": the given object's type, with its value
// when it is short and of a built-in type whose text cannot run user code.
std::string given(PyObject* object) {
  if (object == Py_None) return "None";
  std::string text = internals::typeName(Py_TYPE(object));
  std::string value;
  bool shown = (PyLong_CheckExact(object) || PyBool_Check(object) || PyFloat_CheckExact(object) ||
                PyUnicode_CheckExact(object) || PyBytes_CheckExact(object)) &&
               builtInRepr(object, internals::typeRepresentation(Py_TYPE(object)), &value);
  if (shown && value.size() <= 40) text += " (" + value + ")";
  return text;
}

// A hint for a TickType parameter given an int or a member's name.
std::string tickTypeHint(PyObject* object) {
  if (PyLong_Check(object) && !PyBool_Check(object)) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred() && common::keepErrorThatMustPropagate())
      throw boost::python::error_already_set();
    if (overflow || value < INT32_MIN || value > INT32_MAX) return "";
    std::string call = "TickType(" + std::to_string(value) + ")";
    const char* name = tickTypeName(static_cast<long>(value));
    return name ? "; pass TickType." + std::string(name) + " or " + call : "; pass " + call;
  }
  if (PyUnicode_CheckExact(object)) {
    const char* text = PyUnicode_AsUTF8(object);
    if (!text) {  // a lone surrogate: not a name
      if (common::keepErrorThatMustPropagate()) throw boost::python::error_already_set();
      return "";
    }
    if (isTickTypeName(text)) return "; pass TickType." + std::string(text);
  }
  return "";
}

// A hint for a number or flag parameter given an object of another type that converts
// to it, read from the type's slots alone (no user code runs): int(x) for a whole
// number (one with __index__; one that has only __int__, such as a float or a Decimal,
// would be cut short), float(x) for a number, bool(x) for a number with a truth value.
std::string conversionHint(ParameterKind kind, PyObject* object) {
  const PyNumberMethods* number = internals::numberSlots(Py_TYPE(object));
  if (!number) return "";
  // float() takes an object with only __index__ from 3.8 on.
  bool real = number->nb_float || (PY_VERSION_HEX >= 0x03080000 && number->nb_index);
  switch (kind) {
    case ParameterKind::Int:
      if (!number->nb_index) return "";
      // int() takes an object with only __index__ from 3.8 on; operator.index always does.
      return PY_VERSION_HEX >= 0x03080000 || number->nb_int ? "; pass int(x)"
                                                            : "; pass operator.index(x)";
    case ParameterKind::Float:
      return real ? "; pass float(x)" : "";
    case ParameterKind::Bool:
      return number->nb_bool && (number->nb_index || number->nb_float) ? "; pass bool(x)" : "";
    case ParameterKind::Text:
    case ParameterKind::TickType:
      break;
  }
  return "";
}

// The item `key` of a class's dictionary (borrowed), or null. The search may run a
// key's __eq__: an error that must propagate ends the explanation, any other is dropped.
PyObject* classDictionaryItem(PyTypeObject* cls, const char* key) {
  PyObject* name = PyUnicode_InternFromString(key);
  PyObject* dict = internals::typeDictionary(cls);
  PyObject* item = name && dict ? PyDict_GetItemWithError(dict, name) : nullptr;
  Py_XDECREF(name);
  if (!item && PyErr_Occurred() && common::keepErrorThatMustPropagate())
    throw boost::python::error_already_set();
  return item;
}

// The name of the class whose `__init__` is the one @dataclass wrote, when that is the
// `__init__` an instance of `cls` runs (the first along its method resolution order): a
// function compiled from a string, on a class with dataclass fields of its own. Empty
// otherwise (an `__init__` written in the class body is kept by @dataclass).
std::string dataclassInitOwner(PyTypeObject* cls) {
  PyObject* mro = internals::methodResolutionOrder(cls);
  if (!mro) return "";
  Py_INCREF(mro);  // a key's __eq__ may replace it
  std::string owner;
  try {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
      PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
      PyObject* init = classDictionaryItem(base, "__init__");
      if (!init) continue;
      PyObject* file = PyFunction_Check(init) ? internals::codeFileName(init) : nullptr;
      if (file && PyUnicode_CheckExact(file) && PyUnicode_CompareWithASCIIString(file, "<string>") == 0 &&
          classDictionaryItem(base, "__dataclass_fields__"))
        owner = internals::typeName(base);
      break;
    }
  } catch (const boost::python::error_already_set&) {
    Py_DECREF(mro);
    throw;
  }
  Py_DECREF(mro);
  return owner;
}

std::string selfText(const EntryParameters& parameters, PyObject* self) {
  if (PyObject_TypeCheck(self, common::registered.client)) {
    std::string cls = internals::typeName(Py_TYPE(self));
    std::string text = parameters.entry + "(): this " + cls +
                       " instance has no native object, because OrvClient.__init__ never ran "
                       "for it: ";
    std::string generated = dataclassInitOwner(Py_TYPE(self));
    if (!generated.empty())
      return text + generated + ".__init__ is generated by @dataclass, so define " + generated +
             ".__post_init__ and call super().__init__() (or OrvClient.__init__(self)) in it";
    return text + "call super().__init__() in " + cls + ".__init__";
  }
  return parameters.entry + "(): self must be an OrvClient instance, not " + given(self);
}

std::string countText(const EntryParameters& parameters, Py_ssize_t given) {
  std::string text = parameters.entry + "() takes ";
  if (parameters.count == 0)
    text += "no arguments";
  else
    text += std::to_string(parameters.count) + (parameters.count == 1 ? " argument (" : " arguments (") +
            joinedNames(parameters.names, parameters.count) + ")";
  return text + ", " + std::to_string(given) + " given";
}

std::string keywordText(const EntryParameters& parameters, PyObject* keywords) {
  std::string names;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(keywords, &position, &key, &value)) {
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (!name) {
      if (common::keepErrorThatMustPropagate()) throw boost::python::error_already_set();
      continue;
    }
    names += (names.empty() ? "" : ", ") + std::string(name);
  }
  std::string text = parameters.entry + "() takes no keyword arguments (got " + names + ")";
  if (parameters.count > 0)
    text += "; pass " + joinedNames(parameters.names, parameters.count) + " by position";
  return text;
}

std::string typeText(const EntryParameters& parameters, int position, PyObject* object) {
  ParameterKind kind = parameters.kinds[position - 1];
  std::string text = parameters.entry + "(): argument " + std::to_string(position) + " (" +
                     parameterName(parameters, position) + ") must be " + acceptedType(kind) +
                     ", not " + given(object);
  return text + (kind == ParameterKind::TickType ? tickTypeHint(object) : conversionHint(kind, object));
}

// The explanation of this refusal, or "" when the arguments are not what was refused
// (the entry ran, and the error comes from within).
std::string explanation(const EntryParameters& parameters, PyObject* positional,
                        PyObject* keywords) {
  Py_ssize_t count = PyTuple_GET_SIZE(positional);
  PyObject* const* args = &PyTuple_GET_ITEM(positional, 0);
  if (keywords && PyDict_GET_SIZE(keywords) > 0) return keywordText(parameters, keywords);
  if (count == 0) return parameters.entry + "() needs an OrvClient instance before its arguments";
  if (!parameters.hasNativeObject(args[0])) return selfText(parameters, args[0]);
  if (count != 1 + parameters.count) return countText(parameters, count - 1);
  int refused = parameters.firstRefused(args);
  // A conversion test that raised refuses its argument; the rule decides whether its
  // error goes on instead of the explanation.
  if (PyErr_Occurred() && common::keepErrorThatMustPropagate())
    throw boost::python::error_already_set();
  if (refused < 0) return "";
  if (refused == 0) return selfText(parameters, args[0]);
  return typeText(parameters, refused, args[refused]);
}

// Replaces the pending error by one of the same type whose text is `first`, a line
// break and the old text. Should that fail, the rule decides between the new error and
// the old one.
void prefixPendingError(const std::string& first) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* old = value ? PyObject_Str(value) : nullptr;
  PyObject* text = old ? PyUnicode_FromFormat("%s\n%U", first.c_str(), old) : nullptr;
  PyObject* replaced = text ? PyObject_CallFunctionObjArgs(type, text, nullptr) : nullptr;
  Py_XDECREF(old);
  Py_XDECREF(text);
  if (!replaced) {
    common::settleSecondaryError(type, value, traceback);
    return;
  }
  if (traceback) PyException_SetTraceback(replaced, traceback);
  Py_DECREF(value);
  PyErr_Restore(type, replaced, traceback);
}

}  // namespace

std::string outOfRangeNumber(PyObject* number) {
  std::string text;
  if (!builtInRepr(number, internals::typeRepresentation(&PyLong_Type), &text))
    return "a larger int";
  if (text.size() > 60) return "an int of " + std::to_string(text.size() - (text[0] == '-')) + " digits";
  return text;
}

std::string joinedNames(const char* const* names, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += (i ? ", " : "") + std::string(names[i]);
  return text;
}

void describeEntry(EntryParameters& parameters, const char* name,
                   const char* const* parameterNames, int operation) {
  // One description per registered function: a function registered under two names
  // would give both the last name in its errors and its signature.
  if (!parameters.entry.empty())
    throw std::logic_error(parameters.entry + " and OrvClient." + name +
                           " are one registered function; each must be registered once");
  parameters.entry = std::string("OrvClient.") + name;
  parameters.names = parameterNames;
  parameters.operation = operation;
}

void explainRefusal(const EntryParameters& parameters, PyObject* positional, PyObject* keywords) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  std::string first;
  try {
    first = explanation(parameters, positional, keywords);
  } catch (const boost::python::error_already_set&) {
    // Explaining failed with an error that must not be dropped (the ordinary ones were
    // dropped where they arose); it replaces the refusal.
    common::settleSecondaryError(type, value, traceback);
    return;
  }
  PyErr_Restore(type, value, traceback);
  if (!first.empty()) prefixPendingError(first);
}

void explainConversion(const EntryParameters& parameters, int position, PyObject* object) {
  ParameterKind kind = parameters.kinds[position - 1];
  PyObject* pending = PyErr_Occurred();
  bool text = kind == ParameterKind::Text && pending == PyExc_UnicodeEncodeError;
  if (!text && !(kind == ParameterKind::Int && pending == PyExc_OverflowError)) return;
  std::string argument = "argument " + std::to_string(position) + " (" +
                         parameterName(parameters, position) + ")";
  if (text) {
    common::extendUnicodeReason(true, ", in " + argument + " of " + parameters.entry + "()");
    return;
  }
  // A whole number outside the 32-bit range; an OverflowError of anything else (another
  // extension's converter) is left as it is.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  int outside = 0;
  long long number = PyLong_Check(object) ? PyLong_AsLongLongAndOverflow(object, &outside) : 0;
  if (!PyLong_Check(object) || !(outside || number < INT32_MIN || number > INT32_MAX)) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  std::string digits;
  try {
    digits = outOfRangeNumber(object);
  } catch (const boost::python::error_already_set&) {
    // Making the text failed with an error that must not be dropped; it stands instead.
    common::settleSecondaryError(type, value, traceback);
    return;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  std::string message = parameters.entry + "(): " + argument +
                        " must be between -2147483648 and 2147483647, not " + digits;
  PyErr_SetString(PyExc_OverflowError, message.c_str());
}

void explainFailedCall(const EntryParameters& parameters, PyObject* self) {
  if (parameters.operation >= 0 && PyErr_ExceptionMatches(PyExc_RecursionError))
    overrides::hintRecursionThroughEntry(self, parameters.operation);
}

void explainFailure(const EntryParameters& parameters, PyObject* positional, PyObject* keywords) {
  if (PyErr_ExceptionMatches(PyExc_RecursionError)) {
    if (!(keywords && PyDict_GET_SIZE(keywords) > 0) &&
        PyTuple_GET_SIZE(positional) == 1 + parameters.count)
      explainFailedCall(parameters, PyTuple_GET_ITEM(positional, 0));
    return;
  }
  explainRefusal(parameters, positional, keywords);
}

}  // namespace entries
