// rimble/arch.hpp: the processor architecture a build compiles for, asked in this one place.
//
//   #if RIMBLE_ARCH(X86_64)
//
// RIMBLE_ARCH is a function-like macro, so that a file which tests it without including this
// header fails to compile instead of reading the test as false.
#pragma once

#if defined(__x86_64__)
#define RIMBLE_ARCH_X86_64 1
#else
#define RIMBLE_ARCH_X86_64 0
#endif

#if defined(__aarch64__)
#define RIMBLE_ARCH_AARCH64 1
#else
#define RIMBLE_ARCH_AARCH64 0
#endif

#define RIMBLE_ARCH(name) RIMBLE_ARCH_##name
