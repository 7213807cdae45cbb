// Everything in the module that differs between CPython versions: C API names of newer
// interpreters, defined for older ones, and the facts about older interpreters that our
// code has to act on. Boost.Python itself is compiled for one minor version; this keeps
// our own code building and behaving the same from CPython 3.7 on.
//
// Used unchanged on every version from 3.7 to 3.15, with the same meaning: _PyType_Lookup
// (borrowed result, no error set; typeAttribute below), tp_version_tag (whose validity is read through
// validVersionTag below: the flag for it is no longer kept from 3.12 on), tp_dict and
// tp_dictoffset of heap types, PyUnicode_IS_READY (always true from 3.12), the compact
// int accessors (3.12 on) and an int's digits before them (compactIntValue below). The
// suite that pins each shortcut to the general path runs on every one of these versions,
// release and debug builds (3.11, 3.14, 3.15).
// Boost.Python's instance<>::objects, value_holder and detail::caller are the same from
// Boost 1.74 to 1.92 for what the bridge uses; the held object's offset is measured at
// run time, not assumed.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x03070000 || PY_VERSION_HEX >= 0x03100000
#error "OrvCpp is checked against CPython 3.7 to 3.15: check src/internals/python_compat.h before building for another version"
#endif

#include <cstddef>

#if PY_VERSION_HEX < 0x03090000
// Before 3.9 Python.h leaves the frame type (read by callerRuns below) undeclared.
#include <frameobject.h>
#endif

#if PY_VERSION_HEX < 0x030B0000
// Before 3.11 Python.h leaves out the digits of an int (read by compactIntValue below).
#include <longintrepr.h>
#endif

#include "stack_bound.h"

#ifndef Py_TPFLAGS_MANAGED_DICT
// Before 3.11 no instance dictionary is managed by the interpreter.
#define Py_TPFLAGS_MANAGED_DICT 0
#endif

#ifndef Py_TPFLAGS_METHOD_DESCRIPTOR
// Before 3.8 the interpreter has no method-descriptor shortcut to enable.
#define Py_TPFLAGS_METHOD_DESCRIPTOR 0
#endif

namespace internals {
// Whether the interpreter calls objects with their arguments in place (3.8 on). Where it
// does not, the entries keep the library's own function type and call.
constexpr bool interpreterHasVectorcall = PY_VERSION_HEX >= 0x03080000;
}  // namespace internals

#if PY_VERSION_HEX < 0x03080000
// Before 3.8 there is no vectorcall: build the argument tuple.
typedef PyObject* (*vectorcallfunc)(PyObject*, PyObject* const*, std::size_t, PyObject*);
#define Py_TPFLAGS_HAVE_VECTORCALL 0
#define PY_VECTORCALL_ARGUMENTS_OFFSET (static_cast<std::size_t>(1) << (8 * sizeof(std::size_t) - 1))
inline Py_ssize_t PyVectorcall_NARGS(std::size_t n) {
  return static_cast<Py_ssize_t>(n & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
}
inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                                     PyObject*) {
  Py_ssize_t count = PyVectorcall_NARGS(nargsf);
  PyObject* tuple = PyTuple_New(count);
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(tuple, i, args[i]);
  }
  PyObject* result = PyObject_Call(callable, tuple, nullptr);
  Py_DECREF(tuple);
  return result;
}
#elif PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

#if PY_VERSION_HEX < 0x030D0000
// Before 3.13 the attribute lookup that makes no AttributeError for a missing name is
// private (present since 3.7).
inline int PyObject_GetOptionalAttr(PyObject* owner, PyObject* name, PyObject** found) {
  return _PyObject_LookupAttr(owner, name, found);
}
#endif

namespace internals {

// Whether a Python subclass's traversal leaves visiting the instance's type to a base
// that is itself a heap type (3.9 on). Before, the subclass visits the type and then the
// base's tp_traverse, which must then not visit it a second time.
constexpr bool heapBaseVisitsType = PY_VERSION_HEX >= 0x03090000;

// Whether the interpreter has begun to finalize (after the atexit functions ran).
inline bool interpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Runs the object's finalizer (tp_finalize) unless it ran already, as the collector does
// for garbage (the interpreter's own API, not the limited one).
inline void callFinalizer(PyObject* object) { PyObject_CallFinalizer(object); }

// How many more Python frames the calling thread may enter before the interpreter's
// recursion limit (the thread state's count, in fields of its version-specific
// structure that each version names differently).
inline int pythonRecursionHeadroom() {
  PyThreadState* thread = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
  return thread->py_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
  return thread->recursion_remaining;
#else
  return Py_GetRecursionLimit() - thread->recursion_depth;
#endif
}

}  // namespace internals

namespace internals {
// The attribute `name` (a str) of the class as the interpreter's attribute lookup finds
// it along the method resolution order, borrowed, or null; no error is set and no
// Python code runs (a private function, the same from 3.7 to 3.15).
inline PyObject* typeAttribute(PyTypeObject* type, PyObject* name) {
  return _PyType_Lookup(type, name);
}

// Whether the Python frame running now (the caller of the native code) runs `code`: 1
// or 0, or -1 with the error set (from 3.11 the frame object is made here, which may
// fail; no frame at all, with nothing set, is 0).
inline int callerRuns(PyObject* code) {
  PyFrameObject* frame = PyEval_GetFrame();
  if (!frame) return PyErr_Occurred() ? -1 : 0;
#if PY_VERSION_HEX >= 0x03090000
  PyCodeObject* running = PyFrame_GetCode(frame);
  Py_DECREF(running);  // the frame keeps its own reference
  return reinterpret_cast<PyObject*>(running) == code;
#else
  return reinterpret_cast<PyObject*>(frame->f_code) == code;
#endif
}

// The file name of a Python function's code (borrowed), as the code object keeps it.
inline PyObject* codeFileName(PyObject* function) {
  return reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function))->co_filename;
}

// Sets an object's type (before 3.9 through the lvalue Py_TYPE; the name Py_SET_TYPE is
// left to the interpreter and to Boost.Python, which defines it for older ones).
inline void setType(PyObject* object, PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x03090000
  Py_SET_TYPE(object, type);
#else
  Py_TYPE(object) = type;
#endif
}

// The type's version tag while it is valid, otherwise 0 (a type whose valid tag happens
// to be 0 is then merely never cached). The interpreter changes the tag whenever the
// type's dictionary changes. Before 3.12 a flag tells whether the tag is valid; from
// 3.12 on the flag is no longer maintained and an invalid tag is 0.
inline unsigned int validVersionTag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
  return type->tp_version_tag;
#else
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Whether a version tag, once given, can be given again (3.7 to 3.10): there
// sys._clear_type_cache() invalidates every tag and restarts the numbering, so a class
// changed afterwards, or a new class at a dead one's address, may get a tag that was
// seen before. From 3.11 on a tag is never given twice.
constexpr bool versionTagsCanRecur = PY_VERSION_HEX < 0x030B0000;

// Places the per-object vectorcall entry of a static type's objects (3.8 on; before, the
// slot is something else and the entries keep the library's type).
inline void setVectorcallOffset(PyTypeObject* type, Py_ssize_t offset) {
#if PY_VERSION_HEX >= 0x03080000
  type->tp_vectorcall_offset = offset;
#else
  (void)type;
  (void)offset;
#endif
}

// Looks `key` up in the dictionary `dict`: 1 with a new reference in *found, 0 when
// absent, -1 with the error the search raised (a key's __eq__). 3.13 answers the three
// cases in one call; before, a miss has to be told from an error by asking for one.
inline int dictionaryItem(PyObject* dict, PyObject* key, PyObject** found) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyDict_GetItemRef(dict, key, found);
#else
  *found = PyDict_GetItemWithError(dict, key);
  if (*found) {
    Py_INCREF(*found);
    return 1;
  }
  return PyErr_Occurred() ? -1 : 0;
#endif
}

// Whether the calling thread runs the main interpreter (3.9 on, PyInterpreterState_Get
// is public; before, the thread state names its interpreter).
inline bool inMainInterpreter() {
#if PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_Get() == PyInterpreterState_Main();
#else
  return PyThreadState_Get()->interp == PyInterpreterState_Main();
#endif
}

// Whether the calling thread's C stack is too near its end for one more level of calls
// through the entries (stack_bound.h). From 3.14 on the interpreter's own recursion guard
// measures the stack position itself, so the entries leave it to that guard.
[[gnu::always_inline]] inline bool stackNearlyExhausted() {
#if PY_VERSION_HEX >= 0x030E0000
  return false;
#else
  return beyondStackBound();
#endif
}

// Refuses one more level of calls with the interpreter's RecursionError; returns null.
[[gnu::cold, gnu::noinline]] inline PyObject* refuseDeeperCall(const char* where) {
  PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
  return nullptr;
}

// The interpreter's guard against runaway recursion around a call into a type's call
// slot (Py_EnterRecursiveCall, Py_LeaveRecursiveCall), after the stack bound above. The
// public pair on every version: it counts the depth and raises RecursionError with the
// interpreter's own message. Inlined into the entries (a call of its own, with the guard
// in memory, costs more than the check).
class RecursionGuard {
 public:
  [[gnu::always_inline]] bool enter(const char* where) {
    if (stackNearlyExhausted()) {
      refuseDeeperCall(where);
      return false;
    }
    return Py_EnterRecursiveCall(where) == 0;
  }
  [[gnu::always_inline]] void leave() { Py_LeaveRecursiveCall(); }
};

// Calls `callable` with its arguments in place, as PyObject_Vectorcall does. For a Python
// function (exactly the interpreter's function type) the function's own entry is called
// directly: the generic call's only other step, the check that the callee returned a
// result or raised but not both, cannot fail for a Python function, whose frame ends
// one way or the other. That entry is public from 3.9 on.
inline PyObject* callInPlace(PyObject* callable, PyObject* const* args, std::size_t nargsf) {
#if PY_VERSION_HEX >= 0x03090000
  if (Py_TYPE(callable) == &PyFunction_Type) {
    // The function's own field, where PyVectorcall_Function finds it (a call on 3.9 to 3.11).
    if (vectorcallfunc entry = reinterpret_cast<PyFunctionObject*>(callable)->vectorcall)
      return entry(callable, args, nargsf, nullptr);
  }
#endif
  return PyObject_Vectorcall(callable, args, nargsf, nullptr);
}

// The characters of a str in the compact ASCII form (PyUnicode_IS_COMPACT_ASCII): they
// follow the object's header, which is what PyUnicode_DATA finds for that form after
// testing for the others (a call of its own in some builds).
inline const char* compactAsciiData(PyObject* text) {
  return reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(text) + 1);
}

// The value of an int (or bool) object that the interpreter keeps in at most one digit,
// read in place; it is what PyLong_AsLong returns for it. From 3.12 on such a "compact"
// int's value is public and inline; before, the digits are the public struct of
// longintrepr.h, and an int of at most one digit has a size of -1, 0 or 1 whose product
// with the first digit is its value (as the interpreter's own reading of small ints
// does; the digit of zero is never read). Returns false for any other int, which then
// takes PyLong_AsLong.
inline bool compactIntValue(PyObject* number, long* value) {
#if PY_VERSION_HEX >= 0x030C0000
  const PyLongObject* digits = reinterpret_cast<const PyLongObject*>(number);
  if (PyUnstable_Long_IsCompact(digits)) {
    *value = static_cast<long>(PyUnstable_Long_CompactValue(digits));
    return true;
  }
  return false;
#else
  Py_ssize_t size = Py_SIZE(number);
  if (size < -1 || size > 1) return false;
  const PyLongObject* digits = reinterpret_cast<const PyLongObject*>(number);
  *value = size == 0 ? 0 : static_cast<long>(size) * static_cast<long>(digits->ob_digit[0]);
  return true;
#endif
}
}  // namespace internals
