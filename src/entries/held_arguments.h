// An entry's own references to `self` and its arguments, for the whole call.
//
// The interpreter lends a callee its arguments, and the lender is not always the calling
// frame: functools.partial passes the arguments it stores and atexit a callback's
// registered ones, and both let go of them when the program asks from inside the call
// (partial.__setstate__, atexit.unregister). An entry reads `self`, the native object
// inside it and the arguments after Python code may have run: a conversion (`__float__`,
// `__bool__`, a `__class__` property), the override lookup (a property, `__getattr__`, a
// dictionary key's `__eq__`), the override itself, the explanation of a failure. So before
// anything else the entry takes a reference to each of them into storage of its own,
// and everything it does reads them from there; they are released last, as a Python
// frame owns its arguments and releases them when it ends.
#pragma once

#include <Python.h>

#include <cstddef>

namespace bridge {

template <std::size_t N>
class HeldArguments {
 public:
  [[gnu::always_inline]] explicit HeldArguments(PyObject* const* lent) {
#pragma GCC unroll 16
    for (std::size_t i = 0; i < N; ++i) {
      objects_[i] = lent[i];
      Py_INCREF(objects_[i]);
    }
  }
  // Releasing an argument may run a finalizer, which cannot fail the call (the
  // interpreter reports what a finalizer raises and keeps the pending error).
  [[gnu::always_inline]] ~HeldArguments() {
    if (abandoned_) return;
#pragma GCC unroll 16
    for (std::size_t i = 0; i < N; ++i) Py_DECREF(objects_[i]);
  }
  HeldArguments(const HeldArguments&) = delete;
  HeldArguments& operator=(const HeldArguments&) = delete;

  PyObject* const* get() const { return objects_; }

  // For the unwind of a thread that the interpreter ends: that thread no longer holds
  // the interpreter lock, so the references are left as they are.
  void abandon() { abandoned_ = true; }

 private:
  PyObject* objects_[N];
  bool abandoned_ = false;
};

}  // namespace bridge
