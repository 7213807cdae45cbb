// Early warnings about a subclass's methods, given once per class at its first
// instantiation: a method whose name differs from a callback or request name only by
// case or underscores, or by one slip of a letter (the bridge looks up the exact name,
// so such a method is never called; subclass_check.py says which slips count), and an
// override whose signature cannot take the operation's arguments (which
// would otherwise fail only when the first event arrives). The check reads the class's
// attributes and signatures with the standard library, so it is written in Python
// (subclass_check.py, compiled in from the header the build makes of it); it warns
// through `warnings` (UserWarning), and a warning that the filters turn into an error is
// raised. Any other error it meets is dropped unless the module's rule says it must
// propagate (common/error_policy.h); a class whose check ended, either way but by such
// an error or a raised warning, is not checked again (a weak set, which keeps no class
// alive). Too near the recursion limit the check waits for the next instance.
#include "subclass_check.h"

#include <boost/python/errors.hpp>

#include "../client/operation_traits.h"
#include "../entries/argument_errors.h"
#include "../common/error_policy.h"
#include "../internals/python_compat.h"
#include "subclass_check_source.h"

namespace module_init {
namespace {

PyObject* check = nullptr;
PyObject* giveUp = nullptr;

// Python frames the check needs below the caller (its own calls, the standard library's
// signature reading and the warning's machinery), with room to spare.
constexpr int checkFrames = 60;

// Appends the row the check takes for `Operation`: (name, kind, count, "a, b, c").
template <auto Operation>
bool addOperation(PyObject* operations, const char* kind) {
  using Traits = OperationTraits<Operation>;
  int count = static_cast<int>(Traits::parameterNames.size());
  std::string names = entries::joinedNames(Traits::parameterNames.data(), count);
  PyObject* row = Py_BuildValue("(ssis)", Traits::name, kind, count, names.c_str());
  bool added = row && PyList_Append(operations, row) == 0;
  Py_XDECREF(row);
  return added;
}

// The operations the bridge looks up on an instance, as the check takes them.
PyObject* lookedUpOperations() {
  PyObject* operations = PyList_New(0);
  if (!operations) return nullptr;
  bool complete = true;
#define ORV_CALLBACK(op, ...) \
  complete = complete && addOperation<&OrvClient::op>(operations, "callback");
#define ORV_REQUEST(op, entry, ...) \
  complete = complete && addOperation<&OrvClient::op>(operations, "request");
#include "../client/operations.def"

  if (!complete) Py_CLEAR(operations);
  return operations;
}

}  // namespace

void prepareSubclassCheck(PyObject* clientClass) {
  PyObject* globals = PyDict_New();
  if (!globals || PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0)
    boost::python::throw_error_already_set();
  PyObject* code = Py_CompileString(subclassCheckSource, "<OrvCpp subclass check>", Py_file_input);
  PyObject* ran = code ? PyEval_EvalCode(code, globals, globals) : nullptr;
  Py_XDECREF(code);
  Py_XDECREF(ran);
  PyObject* make = ran ? PyDict_GetItemString(globals, "make_check") : nullptr;
  PyObject* operations = make ? lookedUpOperations() : nullptr;
  PyObject* made =
      operations ? PyObject_CallFunctionObjArgs(make, clientClass, operations, nullptr) : nullptr;
  Py_XDECREF(operations);
  Py_DECREF(globals);
  if (!made || !PyArg_ParseTuple(made, "OO", &check, &giveUp)) {
    Py_XDECREF(made);
    boost::python::throw_error_already_set();
  }
  Py_INCREF(check);
  Py_INCREF(giveUp);
  Py_DECREF(made);
}

void checkSubclass(PyTypeObject* cls) {
  // Too near the recursion limit the check itself would fail where the instance's
  // construction succeeds: it waits for the class's next instantiation.
  if (internals::pythonRecursionHeadroom() < checkFrames) return;
  PyObject* clsObject = reinterpret_cast<PyObject*>(cls);
  PyObject* result = PyObject_CallFunctionObjArgs(check, clsObject, nullptr);
  if (result && result != Py_None) {
    // A warning the filters made an error: the instance's construction raises it.
    PyObject* traceback = PyException_GetTraceback(result);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(result));
    Py_INCREF(type);
    PyErr_Restore(type, result, traceback);
    boost::python::throw_error_already_set();
  }
  if (!result) {
    // Only what must reach the program (common/error_policy.h) comes out of the check.
    if (common::keepErrorThatMustPropagate()) boost::python::throw_error_already_set();
    result = PyObject_CallFunctionObjArgs(giveUp, clsObject, nullptr);
    if (!result && common::keepErrorThatMustPropagate()) boost::python::throw_error_already_set();
  }
  Py_XDECREF(result);
}

}  // namespace module_init

