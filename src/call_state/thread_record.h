// What calls through the module keep per thread and read on every call, in one
// thread-local record: the stack bound (stack_bound.h), the offer of arguments
// (call_state/offered_arguments.h), the entry whose references are not taken yet
// (call_state/held_arguments.h) and the kept text buffers (call_state/text_buffers.h).
//
// The module's thread-local variables use the model any shared object may use, so that
// it loads however much of the C library's static TLS reserve others have taken; each
// access then asks the loader's descriptor for the variable's place (a call). The record
// is found through one function declared const, as the C library declares errno's
// address: the compiler asks once per function, however often the function's inlined
// code names the record, where separate variables would each cost an access.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace call_state {

struct KeptTexts;
struct EntryReferences;

struct ThreadRecord {
  // The lowest stack position from which this thread may enter once more: all ones
  // until measured, zero where the stack's extent is unknown (no bound then).
  std::uintptr_t stackBound = UINTPTR_MAX;
  // The offer not yet taken: the objects the entry holds (borrowed from it) and their count.
  PyObject* const* offeredObjects = nullptr;
  std::size_t offeredCount = 0;
  // The entry running here that owns no references to its objects yet: set only while
  // no Python code has run in its call.
  EntryReferences* unheldEntry = nullptr;
  // The thread's kept text buffers, once it has some.
  KeptTexts* keptTexts = nullptr;
};

// The calling thread's record. (The same answer for every call within one thread, which
// is all that a function's own body ever sees.)
[[gnu::const]] ThreadRecord& threadRecord() noexcept;

}  // namespace call_state
