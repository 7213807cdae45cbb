// The unwind by which the interpreter ends a thread that wants the interpreter lock back
// at exit (pthread_exit, before 3.14) reaches C++ as abi::__forced_unwind: every handler
// that would stop it must let it pass (`catch (const abi::__forced_unwind&) { throw; }`
// ahead of any catch-all), or the process aborts.
//
// That exception carries no object, so its handler binds the reference to nothing; the
// handlers never read it, but UndefinedBehaviorSanitizer's null check reports the
// binding. A function with such a handler is marked ORV_PASSES_FORCED_UNWIND, which in
// the sanitized build (CMake ORV_SANITIZE=address) leaves that one check out of it and
// keeps it from being inlined into a caller that would check it after all; other builds
// are not changed at all.
#pragma once

#include <cxxabi.h>

#if defined(ORV_UNDEFINED_BEHAVIOR_SANITIZER) && (defined(__GNUC__) || defined(__clang__))
#define ORV_PASSES_FORCED_UNWIND __attribute__((no_sanitize("null"), noinline))
#else
#define ORV_PASSES_FORCED_UNWIND
#endif
