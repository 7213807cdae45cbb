#include "stack_bound.h"

#include <algorithm>
#include <cstddef>

#if defined(__linux__)
#include <pthread.h>
#elif defined(__APPLE__)
#include <pthread.h>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace internals {
namespace {

// The low end of the thread's stack, once measured.
thread_local std::uintptr_t stackLow = 0;

// The thread's stack as its lowest address and size; false where it cannot be told.
bool threadStack(std::uintptr_t* low, std::size_t* size) {
#if defined(__linux__)
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
  void* address = nullptr;
  int failed = pthread_attr_getstack(&attributes, &address, size);
  pthread_attr_destroy(&attributes);
  if (failed != 0) return false;
  *low = reinterpret_cast<std::uintptr_t>(address);
  return true;
#elif defined(__APPLE__)
  pthread_t self = pthread_self();
  *size = pthread_get_stacksize_np(self);
  *low = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self)) - *size;
  return true;
#elif defined(_WIN32)
  ULONG_PTR lowest = 0, highest = 0;
  GetCurrentThreadStackLimits(&lowest, &highest);
  *low = lowest;
  *size = highest - lowest;
  return true;
#else
  (void)low;
  (void)size;
  return false;
#endif
}

// What stays free below the bound: enough for one more level and for raising and
// unwinding the RecursionError (a few KB each), and for what the code that catches it
// does, with room to spare; an eighth of a small stack, at most 256 KB of a large one.
std::uintptr_t measureBound() {
  std::size_t size = 0;
  if (!threadStack(&stackLow, &size) || size == 0) return 0;
  std::size_t margin = std::clamp<std::size_t>(size / 8, 16 * 1024, 256 * 1024);
  return stackLow + std::min(margin, size / 2);
}

}  // namespace

bool belowMeasuredStackBound(std::uintptr_t position) {
  std::uintptr_t& bound = call_state::threadRecord().stackBound;
  if (bound == UINTPTR_MAX) bound = measureBound();
  // A position below the thread's stack altogether runs on a stack of its own (a fiber
  // or coroutine library's), whose extent is unknown: no bound there.
  return position < bound && position >= stackLow;
}

}  // namespace internals
