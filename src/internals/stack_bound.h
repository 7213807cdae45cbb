// How far the calling thread's C stack may still be used by calls through the entries.
// Each level of entry → native operation → override → entry takes some C stack that the
// interpreter's recursion count does not see (about 1 KB of native frames, plus the
// interpreter's own for the override call). Counted in levels alone, a raised recursion
// limit, a small thread stack or an interpreter that counts generously runs out of stack
// before the count: a crash. So each call first compares the stack position with a bound
// measured once per thread, a margin above the end of its stack.
#pragma once

#include <cstdint>

#include "../call_state/thread_record.h"

namespace internals {

// Measures the thread's bound the first time it is asked; whether `position` is below
// the bound and still on the thread's stack.
[[gnu::cold]] bool belowMeasuredStackBound(std::uintptr_t position);

// The current stack position: the stack pointer where it can be read directly (the
// address of a local would cost the function a stack-protector canary), else the frame.
[[gnu::always_inline]] inline std::uintptr_t stackPosition() {
  std::uintptr_t position;
#if defined(__x86_64__)
  asm("mov %%rsp, %0" : "=r"(position));
#elif defined(__aarch64__)
  asm("mov %0, sp" : "=r"(position));
#else
  position = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
  return position;
}

// Whether the caller's stack position is below the thread's bound. Costs a comparison
// once the bound is known.
[[gnu::always_inline]] inline bool beyondStackBound() {
  std::uintptr_t position = stackPosition();
  return __builtin_expect(position < call_state::threadRecord().stackBound, 0) &&
         belowMeasuredStackBound(position);
}

}  // namespace internals
