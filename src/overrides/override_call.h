// Calling a Python override with an operation's arguments.
#pragma once

#include <Python.h>

#include <boost/python/errors.hpp>
#include <cstddef>
#include <tuple>
#include <utility>

#include "../client/operation_traits.h"
#include "../internals/forced_unwind.h"
#include "../entries/argument_errors.h"
#include "../entries/offered_arguments.h"
#include "override_lookup.h"
#include "python_arguments.h"
#include "../internals/python_compat.h"

namespace bridge {

// Owns the converted arguments of one call and releases each once, however the call ends
// (except the unwind of a thread that the interpreter ends, which lets go of them
// untouched: that thread no longer holds the interpreter lock).
// Slot 0, in front of the arguments, holds the owner (borrowed) when the override is
// called with it; otherwise it stays free so the callee may use it to prepend `self`
// without copying.
template <std::size_t N>
struct ArgumentSlots {
  PyObject* slots[N + 1] = {};
  PyObject** arguments() { return slots + 1; }
  void abandon() {
    for (PyObject*& slot : slots) slot = nullptr;
  }
  ~ArgumentSlots() {
    for (std::size_t i = 1; i <= N; ++i) Py_XDECREF(slots[i]);
  }
};

struct OwnedReference {
  PyObject* object;
  ~OwnedReference() { Py_XDECREF(object); }
};

// Converts the arguments from the last to the first (each one the offered object in the
// same position when that is already its Python value), then calls `callable` with them
// in parameter order, preceded by `owner` unless that is null, and discards the result.
// Throws error_already_set on any failure.
template <class... Args, std::size_t... I>
ORV_PASSES_FORCED_UNWIND void callWithArguments(PyObject* callable, PyObject* owner,
                                                int operationIndex,
                                                [[maybe_unused]] OfferedArguments offer,
                                                std::index_sequence<I...>, const Args&... args) {
  constexpr std::size_t n = sizeof...(Args);
  ArgumentSlots<n> converted;
  [[maybe_unused]] auto values = std::forward_as_tuple(args...);
  PyObject* result;
  try {
    // A comma fold runs left to right, so position n-1-I visits the last argument first.
    ((converted.arguments()[n - 1 - I] = toPython(std::get<n - 1 - I>(values), offer[n - 1 - I]),
      converted.arguments()[n - 1 - I] ? void()
                                       : refuseArgumentForOverride(operationIndex, n - I)),
     ...);
    if (owner) {
      converted.slots[0] = owner;
      result = callInPlace(callable, converted.slots, n + 1);
    } else {
      result = callInPlace(callable, converted.arguments(), n | PY_VECTORCALL_ARGUMENTS_OFFSET);
    }
  } catch (const abi::__forced_unwind&) {
    converted.abandon();
    throw;
  }
  if (!result) {
    explainUncallableOverride(callable, operationIndex);
    boost::python::throw_error_already_set();
  }
  Py_DECREF(result);
}

// Hands the operation to the Python override of `owner`, if it has one that tests true;
// does nothing otherwise.
template <auto Operation, class... Args>
ORV_PASSES_FORCED_UNWIND void dispatchToPython(PyObject* owner, OfferedArguments offer, const Args&... args) {
  Override found = findOverride(owner, static_cast<int>(OperationTraits<Operation>::index));
  if (!found.callable) return;
  OwnedReference override{found.callable};
  try {
    if (!found.takesOwner) {
      int present = PyObject_IsTrue(found.callable);
      if (present < 0) boost::python::throw_error_already_set();
      if (present == 0) return;
    }
    callWithArguments(found.callable, found.takesOwner ? owner : nullptr,
                      static_cast<int>(OperationTraits<Operation>::index), offer,
                      std::index_sequence_for<Args...>{}, args...);
  } catch (const abi::__forced_unwind&) {
    override.object = nullptr;  // as in ArgumentSlots: the ending thread lets go untouched
    throw;
  }
}

}  // namespace bridge
