// The Python objects an entry was called with, offered to the override that the entry's
// call reaches, so that an argument the override would receive as a new object equal to
// one the caller passed (same exact type, same value) can be that object instead, as a
// Python-to-Python call would pass it.
//
// The entry makes the offer just before it calls into the native code, and the first
// dispatch to Python takes it (clears it) before any Python code runs. Between the two
// only native code runs, with the interpreter lock held and never released, so the offer
// never outlives the entry's call, which owns the objects from before any Python code
// runs (held_arguments.h). The offer
// is the thread's own all the same: a thread that the interpreter ends at exit unwinds the
// entry without the lock, and withdrawing its offer then must not touch another's.
// Each object is handed on only after its type and value are checked against the native
// value (python_arguments.h), so an offer that does not correspond to the operation's
// parameters costs a comparison and nothing else.
#pragma once

#include <Python.h>

#include <cstddef>

#include "thread_record.h"

namespace call_state {

struct OfferedArguments {
  PyObject* const* objects = nullptr;  // the entry's own copies (held_arguments.h)
  std::size_t count = 0;

  PyObject* operator[](std::size_t i) const { return i < count ? objects[i] : nullptr; }
};

// The offer not yet taken, if any, in the thread's record (call_state/thread_record.h).
inline OfferedArguments takeOffer() {
  ThreadRecord& thread = threadRecord();
  OfferedArguments offer{thread.offeredObjects, thread.offeredCount};
  thread.offeredObjects = nullptr;
  thread.offeredCount = 0;
  return offer;
}

// Makes the offer for the lifetime of the scope and withdraws whatever is left of it at
// the end, however the call ends.
class OfferScope {
 public:
  OfferScope(PyObject* const* objects, std::size_t count) {
    ThreadRecord& thread = threadRecord();
    thread.offeredObjects = objects;
    thread.offeredCount = count;
  }
  ~OfferScope() {
    ThreadRecord& thread = threadRecord();
    thread.offeredObjects = nullptr;
    thread.offeredCount = 0;
  }
  OfferScope(const OfferScope&) = delete;
  OfferScope& operator=(const OfferScope&) = delete;
};

}  // namespace call_state
