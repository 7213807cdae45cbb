// An entry's own references to `self` and its arguments, for the whole call.
//
// The interpreter lends a callee its arguments, and the lender is not always the calling
// frame: functools.partial passes the arguments it stores and atexit a callback's
// registered ones, and both let go of them when the program asks from inside the call
// (partial.__setstate__, atexit.unregister). An entry reads `self`, the native object
// inside it and the arguments after Python code may have run: a conversion (`__float__`,
// `__bool__`, a `__class__` property), the override lookup (a property, `__getattr__`, a
// dictionary key's `__eq__`), the override itself, the explanation of a failure. So the
// entry copies the pointers into storage of its own at once, reads them only from there,
// and owns a reference to each of them from before the first moment Python code can run
// until it returns (released last, as a Python frame owns its arguments).
//
// That moment is found, not assumed: until then the references are a loan nobody can
// call in, since only Python code can drop the lender's. The entry registers itself as
// the thread's unheld entry, and whatever is about to run Python code on its behalf calls
// holdEntryArguments() first: the entry's own general path (conversions, refusals,
// errors), the override lookup before a step that can run Python code, and the dispatch
// before it makes an argument object or tests or calls the override it found
// (overrides/override_call.h).
// A call whose lookup provably runs no Python code and finds nothing (no override: the
// operation's native body is empty) never takes them. A call that hands exactly the
// caller's objects to a Python function of the class takes only `self` (holdOnlySelf):
// the function's frame owns the arguments before any code runs, and the entry never
// reads them again.
#pragma once

#include <Python.h>

#include <cstddef>

#include "thread_record.h"

namespace call_state {

// What the thread's record names while an entry's references are not taken
// (call_state/thread_record.h). Taken or not is the record's to say: an entry has taken
// them once the record no longer names it. No entry starts while another on the same
// thread is unheld, since each one takes its references before anything of the
// program's (Python code or another extension's) can run and call one.
struct EntryReferences {
  void (*take)(EntryReferences&);  // takes a reference to self and to every argument
  PyObject* selfObject;
  bool argumentsGivenUp = false;  // only self was taken: the arguments are not read again
};

// Takes the references of the entry running on this thread, if it has not yet: called
// before anything that can run Python code on the entry's behalf.
[[gnu::always_inline]] inline void holdEntryArguments() {
  ThreadRecord& thread = threadRecord();
  if (EntryReferences* entry = thread.unheldEntry) {
    thread.unheldEntry = nullptr;
    entry->take(*entry);
  }
}

// Before the entry's arguments, all of them as the caller passed them, are handed to a
// callee whose frame takes references of its own to them before any code runs
// (internals::ownsArgumentsBeforeRunning): the entry takes only `self`, which it still
// uses afterwards (the native object lives in it), and gives up the arguments for good:
// it never reads them again, not even to explain an error (only a conversion could be
// explained from them, and every one has succeeded by then).
[[gnu::always_inline]] inline void holdOnlySelf() {
  ThreadRecord& thread = threadRecord();
  if (EntryReferences* entry = thread.unheldEntry) {
    thread.unheldEntry = nullptr;
    Py_INCREF(entry->selfObject);
    entry->argumentsGivenUp = true;
  }
}

template <std::size_t N>
class HeldArguments : private EntryReferences {
 public:
  [[gnu::always_inline]] explicit HeldArguments(PyObject* const* lent)
      : EntryReferences{&takeReferences, lent[0]} {
#pragma GCC unroll 16
    for (std::size_t i = 0; i < N; ++i) objects_[i] = lent[i];
    threadRecord().unheldEntry = this;
  }
  // Releasing an argument may run a finalizer, which cannot fail the call (the
  // interpreter reports what a finalizer raises and keeps the pending error).
  [[gnu::always_inline]] ~HeldArguments() {
    ThreadRecord& thread = threadRecord();
    if (thread.unheldEntry == this) {
      thread.unheldEntry = nullptr;
      return;
    }
    if (argumentsGivenUp) {
      Py_DECREF(selfObject);
      return;
    }
#pragma GCC unroll 16
    for (std::size_t i = 0; i < N; ++i) Py_DECREF(objects_[i]);
  }
  HeldArguments(const HeldArguments&) = delete;
  HeldArguments& operator=(const HeldArguments&) = delete;

  PyObject* const* get() const { return objects_; }

  // For the unwind of a thread that the interpreter ends: that thread no longer holds
  // the interpreter lock, so whatever references were taken are left as they are (the
  // entry is named unheld again, which leaves the record as the end of the call would).
  void abandon() { threadRecord().unheldEntry = this; }

 private:
  static void takeReferences(EntryReferences& entry) {
    auto& held = static_cast<HeldArguments&>(entry);
#pragma GCC unroll 16
    for (std::size_t i = 0; i < N; ++i) Py_INCREF(held.objects_[i]);
  }

  PyObject* objects_[N];
};

}  // namespace call_state
