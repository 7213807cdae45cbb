// OrvClient's __reduce__: the library's own for a registered class (which refuses to
// pickle an instance unless its class says that it may be), written again so that no
// reference is released by a C++ destructor after Python code ran. The library's version
// holds its partial results in such objects: when the interpreter ends a thread at exit
// inside one of its attribute lookups, the unwind releases them without the interpreter
// lock, while the main thread collects garbage.
#include <boost/python/errors.hpp>
#include <boost/python/object/add_to_namespace.hpp>
#include <boost/python/tuple.hpp>

#include "../../entries/entry_function.h"
#include "../../internals/forced_unwind.h"
#include "../defences.h"

namespace {

// New references taken during the call, released at its end however it ends, except by
// the unwind of an ending thread, which lets go of them untouched.
class References {
 public:
  // Keeps `object`, a new reference or null after an error, which is then raised.
  PyObject* keep(PyObject* object) {
    if (!object) boost::python::throw_error_already_set();
    if (count_ < capacity) {
      held_[count_++] = object;
      return object;
    }
    Py_DECREF(object);
    PyErr_SetString(PyExc_SystemError, "OrvClient.__reduce__ holds too many references");
    boost::python::throw_error_already_set();
    return nullptr;
  }
  void abandon() { count_ = 0; }
  ~References() {
    while (count_ > 0) Py_DECREF(held_[--count_]);
  }

 private:
  static constexpr int capacity = 12;
  PyObject* held_[capacity] = {};
  int count_ = 0;
};

// getattr(object, name, fallback), as a new reference.
PyObject* attributeOr(PyObject* object, const char* name, PyObject* fallback) {
  PyObject* found = PyObject_GetAttrString(object, name);
  if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  Py_INCREF(fallback);
  return fallback;
}

[[noreturn]] void refuse(PyObject* cls, References& held) {
  PyObject* name = held.keep(PyObject_GetAttrString(cls, "__name__"));
  PyObject* typeName = held.keep(PyObject_Str(name));
  PyObject* empty = held.keep(PyUnicode_FromString(""));
  PyObject* moduleName = held.keep(PyObject_Str(held.keep(attributeOr(cls, "__module__", empty))));
  PyErr_Format(PyExc_RuntimeError,
               "Pickling of \"%U%s%U\" instances is not enabled "
               "(http://www.boost.org/libs/python/doc/v2/pickle.html)",
               moduleName, PyUnicode_GET_LENGTH(moduleName) > 0 ? "." : "", typeName);
  boost::python::throw_error_already_set();
  throw;  // not reached
}

// (class, initial arguments[, state]), as the library builds it.
PyObject* reduceInstance(PyObject* instance, References& held) {
  PyObject* cls = held.keep(PyObject_GetAttrString(instance, "__class__"));
  int safe = PyObject_IsTrue(held.keep(attributeOr(instance, "__safe_for_unpickling__", Py_None)));
  if (safe < 0) boost::python::throw_error_already_set();
  if (safe == 0) refuse(cls, held);

  PyObject* initialArguments = held.keep(PyTuple_New(0));
  PyObject* getInitialArguments = held.keep(attributeOr(instance, "__getinitargs__", Py_None));
  if (getInitialArguments != Py_None) {
    PyObject* given = held.keep(PyObject_CallObject(getInitialArguments, nullptr));
    initialArguments = held.keep(PySequence_Tuple(given));
  }
  PyObject* getState = held.keep(attributeOr(instance, "__getstate__", Py_None));
  PyObject* dictionary = held.keep(attributeOr(instance, "__dict__", Py_None));
  Py_ssize_t dictionaryLength = 0;
  if (dictionary != Py_None) {
    dictionaryLength = PyObject_Length(dictionary);
    if (dictionaryLength < 0) boost::python::throw_error_already_set();
  }
  PyObject* state = nullptr;
  if (getState != Py_None) {
    if (dictionaryLength > 0 &&
        held.keep(attributeOr(instance, "__getstate_manages_dict__", Py_None)) == Py_None) {
      PyErr_SetString(PyExc_RuntimeError,
                      "Incomplete pickle support (__getstate_manages_dict__ not set)");
      boost::python::throw_error_already_set();
    }
    state = held.keep(PyObject_CallObject(getState, nullptr));
  } else if (dictionaryLength > 0) {
    state = dictionary;
  }
  if (state) return PyTuple_Pack(3, cls, initialArguments, state);
  return PyTuple_Pack(2, cls, initialArguments);
}

// The library's signature for it, (object) -> tuple, so that its argument errors read the same.
ORV_PASSES_FORCED_UNWIND boost::python::tuple reduceClient(boost::python::object instance) {
  References held;
  PyObject* reduced;
  try {
    reduced = reduceInstance(instance.ptr(), held);
  } catch (const abi::__forced_unwind&) {
    held.abandon();
    throw;
  }
  if (!reduced) boost::python::throw_error_already_set();
  return boost::python::tuple(boost::python::handle<>(reduced));
}

}  // namespace

void defences::refuseToPickleInstances() {
  PyObject* cls = reinterpret_cast<PyObject*>(registered.client);
  // The library keeps its own __reduce__ in a static object as well, which it releases
  // only when the process exits, after the interpreter is gone (from 3.14 on, freeing an
  // object then crashes). The class's reference kept it alive until then; replaced here,
  // that reference becomes the module's, and is never given back.
  PyObject* library = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls)->tp_dict,
                                           "__reduce__");
  Py_XINCREF(library);
  // Defined as the library defines a class's methods (its name, its place in the class
  // and with it `__module__`), in place of the library's: defining a name the class has
  // already would add an overload.
  if (library && PyObject_DelAttrString(cls, "__reduce__") < 0)
    boost::python::throw_error_already_set();
  boost::python::object reduce = bridge::libraryEntry(&reduceClient);
  boost::python::objects::add_to_namespace(
      boost::python::object(boost::python::handle<>(boost::python::borrowed(cls))), "__reduce__",
      reduce);
  bridge::adoptEntry(reduce.ptr());
}
