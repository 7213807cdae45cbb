// Argument errors across pickling, as a process pool hands a worker's error back to the
// parent. The library's ArgumentError class calls itself Boost.Python.ArgumentError, a
// module nothing can import, so pickle refuses its instances ("Can't pickle <class
// 'Boost.Python.ArgumentError'>: import of module 'Boost.Python' failed") and the
// parent gets a PicklingError in place of the TypeError.
//
// The module leaves the class as it is and registers with copyreg a reduction for it:
// BaseException's own, with the class replaced by OrvCpp._rebuild_argument_error, which
// the unpickling process finds by importing OrvCpp and which makes an instance of the
// same class again (same args, hence the same text, and the same attributes). Nothing
// is registered where a reduction for the class exists already. copy.copy and
// copy.deepcopy read the same table, and give what they gave before: an error of the
// same class and args, or what a __reduce__ or __reduce_ex__ that a program gave the
// error returns. With the module's private copy of the library the class is the
// module's own; with a shared library it is every extension's, whose argument errors
// then pickle as well instead of failing (docs/errors-and-warnings.md).
#include "argument_error_pickling.h"

#include <Python.h>

#include <boost/python/errors.hpp>
#include <boost/python/object.hpp>
#include <boost/python/scope.hpp>

#include "../internals/library_internals.h"

namespace entries {
namespace {

PyObject* argumentError = nullptr;     // the library's class
PyObject* exceptionReduce = nullptr;   // BaseException.__reduce__
PyObject* rebuildFunction = nullptr;   // OrvCpp._rebuild_argument_error

// The C functions of BaseException.__reduce__ and object.__reduce_ex__, as bound to an error.
PyCFunction defaultReduce = nullptr;
PyCFunction defaultReduceEx = nullptr;

PyObject* rebuild(PyObject*, PyObject* args) { return PyObject_Call(argumentError, args, nullptr); }

// Whether `error`'s attribute `name` is the method `function` bound to it: 1, 0, or -1
// with an error set.
int isDefault(PyObject* error, const char* name, PyCFunction function) {
  PyObject* bound = PyObject_GetAttrString(error, name);
  if (!bound) return -1;
  int found = PyCFunction_Check(bound) && PyCFunction_GetSelf(bound) == error &&
              PyCFunction_GetFunction(bound) == function;
  Py_DECREF(bound);
  return found;
}

// (rebuild, args) or (rebuild, args, attributes), as BaseException.__reduce__ gives
// (class, args[, attributes]). copyreg's table is read before an object's own methods:
// an error given a __reduce__ or __reduce_ex__ of its own (on itself, or on a shared
// class) is reduced by them, as without the table (with protocol 4, which copy passes).
PyObject* reduce(PyObject*, PyObject* error) {
  int plain = isDefault(error, "__reduce_ex__", defaultReduceEx);
  if (plain > 0) plain = isDefault(error, "__reduce__", defaultReduce);
  if (plain < 0) return nullptr;
  if (!plain) return PyObject_CallMethod(error, "__reduce_ex__", "i", 4);
  PyObject* reduced = PyObject_CallFunctionObjArgs(exceptionReduce, error, nullptr);
  if (!reduced) return nullptr;
  Py_ssize_t size = PyTuple_Check(reduced) ? PyTuple_GET_SIZE(reduced) : 0;
  PyObject* replaced = size >= 2 ? PyTuple_New(size) : nullptr;
  if (replaced) {
    Py_INCREF(rebuildFunction);
    PyTuple_SET_ITEM(replaced, 0, rebuildFunction);
    for (Py_ssize_t i = 1; i < size; ++i) {
      PyObject* item = PyTuple_GET_ITEM(reduced, i);
      Py_INCREF(item);
      PyTuple_SET_ITEM(replaced, i, item);
    }
  } else if (size < 2) {
    PyErr_SetString(PyExc_SystemError, "BaseException.__reduce__ gave no (class, args)");
  }
  Py_DECREF(reduced);
  return replaced;
}

PyMethodDef rebuildDefinition = {
    "_rebuild_argument_error", rebuild, METH_VARARGS,
    "The binding library's ArgumentError, made again from its args as it is unpickled."};
PyMethodDef reduceDefinition = {"_reduce_argument_error", reduce, METH_O, nullptr};

PyObject* checked(PyObject* made) {
  if (!made) boost::python::throw_error_already_set();
  return made;
}

}  // namespace

void makeArgumentErrorsPicklable() {
  using boost::python::handle;
  using boost::python::object;
  argumentError = internals::libraryArgumentError();
  exceptionReduce = checked(PyObject_GetAttrString(PyExc_BaseException, "__reduce__"));
  object sample(handle<>(checked(PyObject_CallFunction(argumentError, "s", ""))));
  object reduceEx = sample.attr("__reduce_ex__"), reduceDefault = sample.attr("__reduce__");
  if (!PyCFunction_Check(reduceEx.ptr()) || !PyCFunction_Check(reduceDefault.ptr())) {
    PyErr_SetString(PyExc_SystemError, "the library's ArgumentError has methods of its own");
    boost::python::throw_error_already_set();
  }
  defaultReduceEx = PyCFunction_GetFunction(reduceEx.ptr());
  defaultReduce = PyCFunction_GetFunction(reduceDefault.ptr());
  boost::python::scope module;
  object name = module.attr("__name__");
  rebuildFunction = checked(PyCFunction_NewEx(&rebuildDefinition, nullptr, name.ptr()));
  module.attr(rebuildDefinition.ml_name) = object(handle<>(boost::python::borrowed(rebuildFunction)));
  object reduction(handle<>(checked(PyCFunction_NewEx(&reduceDefinition, nullptr, name.ptr()))));
  object copyreg(handle<>(checked(PyImport_ImportModule("copyreg"))));
  object errorClass(handle<>(boost::python::borrowed(argumentError)));
  copyreg.attr("dispatch_table").attr("setdefault")(errorClass, reduction);
}

}  // namespace entries
