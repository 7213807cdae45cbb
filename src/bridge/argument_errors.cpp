#include "argument_errors.h"

#include <boost/python/errors.hpp>
#include <cstring>

#include "../defences/error_policy.h"
#include "../defences/registered.h"


namespace bridge {
namespace {

const char* tickTypeName(long value) {
  switch (value) {
#define ORV_TICK_TYPE(name, number) \
  case number:                      \
    return #name;
#include "../client/tick_types.def"
    default:
      return nullptr;
  }
}

bool isTickTypeName(const char* text) {
#define ORV_TICK_TYPE(name, number) \
  if (std::strcmp(text, #name) == 0) return true;
#include "../client/tick_types.def"
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

// The `position`-th name (from 1) of "a, b, c".
std::string parameterName(const EntryParameters& parameters, int position) {
  std::size_t start = 0;
  for (int i = 1; i < position; ++i) {
    start = parameters.names.find(", ", start);
    if (start == std::string::npos) return "";
    start += 2;
  }
  return parameters.names.substr(start, parameters.names.find(", ", start) - start);
}

// The text of an object of a built-in type through that type's own repr (no user code
// runs); false when it cannot be made, the error cleared. An error that must propagate
// (defences/error_policy.h) stays pending and ends the explanation.
bool builtInRepr(PyObject* object, reprfunc repr, std::string* text) {
  PyObject* made = repr(object);
  const char* utf8 = made ? PyUnicode_AsUTF8(made) : nullptr;
  if (utf8) *text = utf8;
  Py_XDECREF(made);
  if (utf8) return true;
  if (defences::keepErrorThatMustPropagate()) throw boost::python::error_already_set();
  return false;
}

// "int (4)", "str ('a')", "None", "Recorder": the given object's type, with its value
// when it is short and of a built-in type whose text cannot run user code.
std::string given(PyObject* object) {
  if (object == Py_None) return "None";
  std::string text = Py_TYPE(object)->tp_name;
  std::string value;
  bool shown = (PyLong_CheckExact(object) || PyBool_Check(object) || PyFloat_CheckExact(object) ||
                PyUnicode_CheckExact(object) || PyBytes_CheckExact(object)) &&
               builtInRepr(object, Py_TYPE(object)->tp_repr, &value);
  if (shown && value.size() <= 40) text += " (" + value + ")";
  return text;
}

// A hint for a TickType parameter given an int or a member's name.
std::string tickTypeHint(PyObject* object) {
  if (PyLong_Check(object) && !PyBool_Check(object)) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred() && defences::keepErrorThatMustPropagate())
      throw boost::python::error_already_set();
    if (overflow || value < INT32_MIN || value > INT32_MAX) return "";
    std::string call = "TickType(" + std::to_string(value) + ")";
    const char* name = tickTypeName(static_cast<long>(value));
    return name ? "; pass TickType." + std::string(name) + " or " + call : "; pass " + call;
  }
  if (PyUnicode_CheckExact(object)) {
    const char* text = PyUnicode_AsUTF8(object);
    if (!text) {  // a lone surrogate: not a name
      if (defences::keepErrorThatMustPropagate()) throw boost::python::error_already_set();
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
  const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (!number) return "";
  // float() takes an object with only __index__ from 3.8 on.
  bool real = number->nb_float || (PY_VERSION_HEX >= 0x03080000 && number->nb_index);
  switch (kind) {
    case ParameterKind::Int:
      return number->nb_index ? "; pass int(x)" : "";
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

std::string selfText(const EntryParameters& parameters, PyObject* self) {
  if (PyObject_TypeCheck(self, defences::registered.client)) {
    std::string cls = Py_TYPE(self)->tp_name;
    return parameters.entry + "(): this " + cls +
           " instance has no native object, because OrvClient.__init__ never ran for it: call "
           "super().__init__() in " + cls + ".__init__";
  }
  return parameters.entry + "(): self must be an OrvClient instance, not " + given(self);
}

std::string countText(const EntryParameters& parameters, Py_ssize_t given) {
  std::string text = parameters.entry + "() takes ";
  if (parameters.count == 0)
    text += "no arguments";
  else
    text += std::to_string(parameters.count) + (parameters.count == 1 ? " argument (" : " arguments (") +
            parameters.names + ")";
  return text + ", " + std::to_string(given) + " given";
}

std::string keywordText(const EntryParameters& parameters, PyObject* keywords) {
  std::string names;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(keywords, &position, &key, &value)) {
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (!name) {
      if (defences::keepErrorThatMustPropagate()) throw boost::python::error_already_set();
      continue;
    }
    names += (names.empty() ? "" : ", ") + std::string(name);
  }
  std::string text = parameters.entry + "() takes no keyword arguments (got " + names + ")";
  if (parameters.count > 0) text += "; pass " + parameters.names + " by position";
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
  if (PyErr_Occurred() && defences::keepErrorThatMustPropagate())
    throw boost::python::error_already_set();
  if (refused < 0) return "";
  if (refused == 0) return selfText(parameters, args[0]);
  return typeText(parameters, refused, args[refused]);
}

// Replaces the pending error (of type `type`, value `value`) by one of the same type
// whose text is `first`, a line break and the old text.
void prefixPendingError(const std::string& first) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* old = value ? PyObject_Str(value) : nullptr;
  PyObject* text = old ? PyUnicode_FromFormat("%s\n%U", first.c_str(), old) : nullptr;
  PyObject* replaced = text ? PyObject_CallFunctionObjArgs(type, text, nullptr) : nullptr;
  Py_XDECREF(old);
  Py_XDECREF(text);
  if (!replaced) {  // the new error (MemoryError) stands in for the old one
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  if (traceback) PyException_SetTraceback(replaced, traceback);
  Py_DECREF(value);
  PyErr_Restore(type, replaced, traceback);
}

}  // namespace

void describeEntry(EntryParameters& parameters, const char* name, const char* parameterNames) {
  parameters.entry = std::string("OrvClient.") + name;
  parameters.names = parameterNames;
}

void explainRefusal(const EntryParameters& parameters, PyObject* positional, PyObject* keywords) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  std::string first;
  try {
    first = explanation(parameters, positional, keywords);
  } catch (const boost::python::error_already_set&) {
    // Explaining failed with an error that must not be dropped; it replaces the refusal.
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  PyErr_Restore(type, value, traceback);
  if (!first.empty()) prefixPendingError(first);
}

void explainOverflow(const EntryParameters& parameters, PyObject* const* args) {
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  // Arguments convert from the last to the first, all before the call: the one that
  // failed is the last that is not sure to convert, and it is explained only when it is
  // a whole number out of range (whose conversion always fails, so the call never ran
  // and the error is that conversion's). Only ints, floats and texts could fail.
  int failing = 0;
  for (int position = parameters.count; position >= 1 && failing == 0; --position) {
    PyObject* object = args[position - 1];
    bool sure = true;
    switch (parameters.kinds[position - 1]) {
      case ParameterKind::Int: {
        int overflow = 0;
        long long number = PyLong_Check(object) ? PyLong_AsLongLongAndOverflow(object, &overflow) : 0;
        if (!PyLong_Check(object))
          sure = false;
        else if (overflow || number < INT32_MIN || number > INT32_MAX)
          failing = position;
        break;
      }
      case ParameterKind::Float:
        sure = PyFloat_CheckExact(object);
        break;
      case ParameterKind::Text:
        sure = PyUnicode_CheckExact(object) || PyBytes_CheckExact(object);
        break;
      case ParameterKind::Bool:
      case ParameterKind::TickType:
        break;
    }
    if (!sure) break;
  }
  if (type != PyExc_OverflowError || failing == 0) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  std::string number;
  try {
    if (!builtInRepr(args[failing - 1], PyLong_Type.tp_repr, &number))
      number = "a larger int";
    else if (number.size() > 60)
      number = "an int of " + std::to_string(number.size() - (number[0] == '-')) + " digits";
  } catch (const boost::python::error_already_set&) {
    // Making the text failed with an error that must not be dropped; it stands instead.
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  std::string text = parameters.entry + "(): argument " + std::to_string(failing) + " (" +
                     parameterName(parameters, failing) +
                     ") must be between -2147483648 and 2147483647, not " + number;
  PyErr_SetString(PyExc_OverflowError, text.c_str());
}

void explainFailure(const EntryParameters& parameters, PyObject* positional, PyObject* keywords) {
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    if (!(keywords && PyDict_GET_SIZE(keywords) > 0) &&
        PyTuple_GET_SIZE(positional) == 1 + parameters.count)
      explainOverflow(parameters, &PyTuple_GET_ITEM(positional, 1));
    return;
  }
  explainRefusal(parameters, positional, keywords);
}

}  // namespace bridge
