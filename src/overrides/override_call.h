// Calling a Python override with an operation's arguments.
#pragma once

#include <Python.h>

#include <boost/python/errors.hpp>
#include <cstddef>
#include <tuple>
#include <utility>

#include "../client/operation_traits.h"
#include "../internals/forced_unwind.h"
#include "../call_state/held_arguments.h"
#include "../call_state/offered_arguments.h"
#include "override_lookup.h"
#include "python_arguments.h"
#include "../internals/function_calls.h"
#include "../internals/python_compat.h"

namespace overrides {

// The override found for one call and its arguments: the objects it made, released once
// however the call ends (except the unwind of a thread that the interpreter ends, which
// lets go of them untouched: that thread no longer holds the interpreter lock), and the
// offered objects handed on as they are, borrowed from the entry, which holds them
// until it returns (or leaves them to a callee that owns them before it runs:
// held_arguments.h).
// Slot 0, in front of the arguments, holds the owner (borrowed: the entry holds it) when
// the override is called with it; otherwise it stays free so the callee may use it to
// prepend `self` without copying.
template <std::size_t N>
struct PreparedCall {
  static_assert(N <= 16, "one bit per argument");
  PyObject* callable;  // owned
  PyObject* slots[N + 1];
  unsigned made = 0;  // bit i: argument i is an object made here

  explicit PreparedCall(PyObject* found) : callable(found) {}
  PreparedCall(const PreparedCall&) = delete;
  PreparedCall& operator=(const PreparedCall&) = delete;

  PyObject** arguments() { return slots + 1; }

  // Argument i: `offered` itself when it already is the value's Python object, else a
  // new object (null when the value cannot be one).
  template <class T>
  [[gnu::always_inline]] PyObject* set(std::size_t i, const T& value, PyObject* offered) {
    if (offered && isPythonValue(offered, value)) return slots[i + 1] = offered;
    call_state::holdEntryArguments();  // making an object may start a collection, and so finalizers
    PyObject* object = toPython(value);
    if (object) made |= 1u << i;
    return slots[i + 1] = object;
  }

  void abandon() {
    callable = nullptr;
    made = 0;
  }
  ~PreparedCall() {
    if (made != 0) {  // none where every argument was offered
#pragma GCC unroll 16
      for (std::size_t i = 0; i < N; ++i)
        if (made & (1u << i)) Py_DECREF(slots[i + 1]);
    }
    Py_XDECREF(callable);
  }
};

// Hands the operation to the Python override of `owner`, if it has one that tests true;
// does nothing otherwise. The entry's references (call_state/held_arguments.h) are taken by the
// lookup before it runs any Python code, and here before anything else can; for a
// Python function of the class handed exactly the caller's objects, only `self`'s. The
// arguments are converted from the last to the first (each one the offered object in
// the same position when that is already its Python value), then the override is called
// with them in parameter order, preceded by the owner where the override is the class's
// function, and its result is discarded. Throws error_already_set on any failure.
template <auto Operation, class... Args, std::size_t... I>
ORV_PASSES_FORCED_UNWIND void dispatchToPython(PyObject* owner,
                                               [[maybe_unused]] call_state::OfferedArguments offer,
                                               std::index_sequence<I...>, const Args&... args) {
  constexpr int operationIndex = static_cast<int>(OperationTraits<Operation>::index);
  constexpr std::size_t n = sizeof...(Args);
  Override found = findOverride(owner, operationIndex);
  if (!found.callable) return;
  // Its truth test, and its call, may run Python code before anything else owns the
  // arguments. (A function of the class is called with the owner, and is not tested.)
  if (!found.takesOwner) call_state::holdEntryArguments();
  PreparedCall<n> call(found.callable);
  [[maybe_unused]] auto values = std::forward_as_tuple(args...);
  PyObject* result;
  try {
    if (!found.takesOwner) {
      int present = PyObject_IsTrue(found.callable);
      if (present < 0) boost::python::throw_error_already_set();
      if (present == 0) return;
    }
    // A comma fold runs left to right, so position n-1-I visits the last argument first.
    ((call.set(n - 1 - I, std::get<n - 1 - I>(values), offer[n - 1 - I])
          ? void()
          : refuseArgumentForOverride(operationIndex, n - I)),
     ...);
    if (found.takesOwner) {
      call.slots[0] = owner;
      // Only when every argument is the caller's object can the entry leave them to a
      // callee that owns them before it runs (no object was made: set() holds first).
      if (internals::ownsArgumentsBeforeRunning(found.callable)) {
        call_state::holdOnlySelf();
        result = internals::callOwningArguments(found.callable, call.slots, n + 1);
      } else {
        call_state::holdEntryArguments();
        result = internals::callInPlace(found.callable, call.slots, n + 1);
      }
    } else {
      result = internals::callInPlace(found.callable, call.arguments(), n | PY_VECTORCALL_ARGUMENTS_OFFSET);
    }
  } catch (const abi::__forced_unwind&) {
    call.abandon();
    throw;
  }
  if (!result) {
    explainUncallableOverride(found.callable, operationIndex);
    boost::python::throw_error_already_set();
  }
  Py_DECREF(result);
}

}  // namespace overrides
