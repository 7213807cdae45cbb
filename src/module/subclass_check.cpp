// Early warnings about a subclass's methods, given once per class at its first
// instantiation: a method whose name differs from a callback or request name only by
// case or underscores (the bridge looks up the exact name, so such a method is never
// called), and an override whose signature cannot take the operation's arguments (which
// would otherwise fail only when the first event arrives). The check reads the class's
// attributes and signatures with the standard library, so it is written in Python; it
// warns through `warnings` (UserWarning), and a warning that the filters turn into an
// error is raised. Any other error it meets is dropped unless the module's rule says it
// must propagate (defences/error_policy.h); a class whose check ended, either way but by
// such an error or a raised warning, is not checked again (a weak set, which keeps no
// class alive). Too near the recursion limit the check waits for the next instance.
#include "subclass_check.h"

#include <boost/python/errors.hpp>

#include "../client/operation_traits.h"
#include "../entries/argument_errors.h"
#include "../defences/error_policy.h"
#include "../internals/python_compat.h"

namespace {

// check(cls) -> None. `client` is OrvClient; `operations` holds (name, kind, number of
// arguments, parameter names) for every operation the bridge looks up on an instance.
constexpr const char* checkSource = R"PY(
import weakref

def make_check(client, operations):
    checked = weakref.WeakSet()
    protocol = {name: (kind, count, names) for name, kind, count, names in operations}
    alike = {name.replace("_", "").lower(): name for name in protocol}
    mro_of = type.__dict__["__mro__"].__get__
    dict_of = type.__dict__["__dict__"].__get__
    client_classes = mro_of(client)
    own = set(dict_of(client))

    def defined_attributes(cls):
        # name -> attribute as the class lookup finds it, for the names the subclass's own
        # classes define (the first definition along the method resolution order wins;
        # a name OrvClient itself answers is no override).
        found, seen = {}, set()
        for klass in mro_of(cls):
            names = list(dict_of(klass).items())
            mine = not any(klass is base for base in client_classes)
            for name, value in names:
                if type(name) is str and name not in seen:
                    seen.add(name)
                    if mine:
                        found[name] = value
        return found

    def unbound(value):
        # (callable to inspect, how many leading arguments the lookup binds), or None
        # when what a call through the instance receives cannot be told.
        import functools, types
        kind = type(value)
        if kind is types.FunctionType:
            return value, 1
        if kind is staticmethod:
            return value.__func__, 0
        if kind is classmethod:
            return value.__func__, 1
        if kind in (types.MethodType, functools.partial) or not hasattr(kind, "__get__"):
            return (value, 0) if callable(value) else None
        return None

    def problems(cls):
        import inspect
        title = cls.__qualname__
        attributes = defined_attributes(cls)
        for name, value in attributes.items():
            if name.startswith("_"):
                continue  # private by convention (_connect, _position): not meant as one
            target = alike.get(name.replace("_", "").lower())
            if (target and name != target and name not in own and
                    (callable(value) or isinstance(value, (staticmethod, classmethod)))):
                kind = protocol[target][0]
                yield (f"{title}.{name} differs from the {kind} name {target} only by case or "
                       f"underscores: OrvClient calls {target} and never {name} "
                       f"(rename it to {target})")
        for name, (kind, count, names) in protocol.items():
            if name not in attributes:
                continue
            target = unbound(attributes[name])
            if target is None:
                continue
            function, bound = target
            try:
                signature = inspect.signature(function)
            except (TypeError, ValueError):
                continue  # nothing to read (a built-in without a signature)
            try:
                signature.bind(*range(bound + count))
            except TypeError:
                given = f"{count} argument{'s' if count != 1 else ''}"
                yield (f"{title}.{name}{signature} cannot take the {given} OrvClient passes "
                       f"to the {kind} {name}({names})")

    def check(cls):
        # None, or the warning that the filters turned into an error: the caller raises
        # it, and the class stays unchecked, so that every instance raises it while the
        # filters say so (not only whichever one happens to come first).
        if cls in checked:
            return None
        messages = list(problems(cls))
        import warnings
        try:
            for message in messages:
                warnings.warn(message, UserWarning, stacklevel=2)
        except Warning as raised:
            return raised
        checked.add(cls)
        return None

    def give_up(cls):
        # The check failed with an error that is dropped: not tried again for this class.
        checked.add(cls)

    return check, give_up
)PY";

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
  std::string names = bridge::joinedNames(Traits::parameterNames.data(), count);
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
  PyObject* code = Py_CompileString(checkSource, "<OrvCpp subclass check>", Py_file_input);
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
  if (orv_compat::pythonRecursionHeadroom() < checkFrames) return;
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
    // Only what must reach the program (defences/error_policy.h) comes out of the check.
    if (defences::keepErrorThatMustPropagate()) boost::python::throw_error_already_set();
    result = PyObject_CallFunctionObjArgs(giveUp, clsObject, nullptr);
    if (!result && defences::keepErrorThatMustPropagate()) boost::python::throw_error_already_set();
  }
  Py_XDECREF(result);
}
