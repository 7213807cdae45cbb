// OrvClient's __reduce__, in place of the library's (pickle_support.cpp): an instance is
// refused with the library's RuntimeError and words unless it allows pickling
// (`__safe_for_unpickling__`, which a subclass may set), and is then reduced as the
// library reduces it. Any lookup here may run Python code, and when the interpreter ends
// a thread at exit inside such code, the unwind runs the destructors of the native frames
// it leaves without the interpreter lock: the library's version holds what it looked up
// in C++ objects, whose release then freed a list while the main thread collected
// garbage. Here they are plain pointers, released by hand where the call returns and
// passed over by that unwind (only the argument's object is released then, and the
// caller holds the argument too). The reduction is why this is more than a refusal: an
// instance that allows pickling is pickled, and the library's function would bring the
// hazard back for it.
#include <boost/python/errors.hpp>
#include <boost/python/tuple.hpp>

#include "../../entries/entry_function.h"
#include "../../internals/library_objects.h"
#include "../../internals/type_slots.h"
#include "../defences.h"
#include "../../common/error_policy.h"

namespace {

// The new references one call takes; the null of a failed step is not kept.
struct Held {
  PyObject* operator()(PyObject* object) {
    if (object && count < capacity) return items[count++] = object;
    if (object) Py_DECREF(object);  // not reached: no path takes as many
    return nullptr;
  }
  void release() {
    while (count > 0) Py_DECREF(items[--count]);
  }
  static constexpr int capacity = 12;
  PyObject* items[capacity] = {};
  int count = 0;
};

// getattr(object, name, fallback), as a new reference.
PyObject* attributeOr(PyObject* object, const char* name, PyObject* fallback) {
  PyObject* found = PyObject_GetAttrString(object, name);
  // Only an AttributeError means the fallback (the rule drops it); any other propagates.
  if (found || !PyErr_ExceptionMatches(PyExc_AttributeError) || common::keepErrorThatMustPropagate())
    return found;
  Py_INCREF(fallback);
  return fallback;
}

// The library's refusal for instances of `cls`; returns null.
PyObject* refuse(PyObject* cls, Held& held) {
  PyObject* name = held(PyObject_GetAttrString(cls, "__name__"));
  PyObject* typeName = name ? held(PyObject_Str(name)) : nullptr;
  PyObject* empty = typeName ? held(PyUnicode_FromString("")) : nullptr;
  PyObject* module = empty ? held(attributeOr(cls, "__module__", empty)) : nullptr;
  PyObject* moduleName = module ? held(PyObject_Str(module)) : nullptr;
  if (moduleName)
    PyErr_Format(PyExc_RuntimeError,
                 "Pickling of \"%U%s%U\" instances is not enabled "
                 "(http://www.boost.org/libs/python/doc/v2/pickle.html)",
                 moduleName, PyUnicode_GET_LENGTH(moduleName) > 0 ? "." : "", typeName);
  return nullptr;
}

// (class, initial arguments[, state]) as the library makes it, or null with the error.
PyObject* reduce(PyObject* instance, Held& held) {
  PyObject* cls = held(PyObject_GetAttrString(instance, "__class__"));
  PyObject* allowed = cls ? held(attributeOr(instance, "__safe_for_unpickling__", Py_None)) : nullptr;
  int safe = allowed ? PyObject_IsTrue(allowed) : -1;
  if (safe <= 0) return safe == 0 ? refuse(cls, held) : nullptr;
  PyObject* initial = held(PyTuple_New(0));
  PyObject* getInitial = initial ? held(attributeOr(instance, "__getinitargs__", Py_None)) : nullptr;
  if (getInitial && getInitial != Py_None) {
    PyObject* given = held(PyObject_CallObject(getInitial, nullptr));
    initial = given ? held(PySequence_Tuple(given)) : nullptr;
  }
  PyObject* getState = initial ? held(attributeOr(instance, "__getstate__", Py_None)) : nullptr;
  PyObject* dictionary = getState ? held(attributeOr(instance, "__dict__", Py_None)) : nullptr;
  Py_ssize_t length = !dictionary ? -1 : dictionary == Py_None ? 0 : PyObject_Length(dictionary);
  if (length < 0) return nullptr;
  PyObject* state = length > 0 ? dictionary : nullptr;
  if (getState != Py_None) {
    if (length > 0) {
      PyObject* manages = held(attributeOr(instance, "__getstate_manages_dict__", Py_None));
      if (manages == Py_None)
        PyErr_SetString(PyExc_RuntimeError,
                        "Incomplete pickle support (__getstate_manages_dict__ not set)");
      if (!manages || manages == Py_None) return nullptr;
    }
    state = held(PyObject_CallObject(getState, nullptr));
    if (!state) return nullptr;
  }
  return state ? PyTuple_Pack(3, cls, initial, state) : PyTuple_Pack(2, cls, initial);
}

// The library's signature for it, (object) -> tuple, so that its argument errors read the same.
boost::python::tuple reduceClient(boost::python::object instance) {
  Held held;
  PyObject* reduced = reduce(instance.ptr(), held);
  held.release();
  if (!reduced) boost::python::throw_error_already_set();
  return boost::python::tuple(boost::python::handle<>(reduced));
}

}  // namespace

void defences::refuseToPickleInstances() {
  PyObject* cls = reinterpret_cast<PyObject*>(common::registered.client);
  // The library keeps its own __reduce__ in a static object as well, which it releases
  // only when the process exits, after the interpreter is gone (from 3.14 on, freeing an
  // object then crashes). The class's reference kept it alive until then; replaced here,
  // that reference becomes the module's, and is never given back.
  PyObject* library = PyDict_GetItemString(
      internals::typeDictionary(reinterpret_cast<PyTypeObject*>(cls)), "__reduce__");
  Py_XINCREF(library);
  // Defined as the library defines a class's methods (its name, its place in the class
  // and with it `__module__`), in place of the library's: defining a name the class has
  // already would add an overload.
  if (library && PyObject_DelAttrString(cls, "__reduce__") < 0)
    boost::python::throw_error_already_set();
  boost::python::object reduce = entries::libraryEntry(&reduceClient);
  internals::defineClassAttribute(
      boost::python::object(boost::python::handle<>(boost::python::borrowed(cls))), "__reduce__",
      reduce);
  entries::adoptEntry(reduce.ptr());
}
