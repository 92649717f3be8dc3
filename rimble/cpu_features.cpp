// rimble/cpu_features.cpp: CPUID/XGETBV feature detection, once per process.
#include "rimble/cpu_features.hpp"

#include <cstdint>

#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)
#include <cpuid.h>
#endif

namespace rimble {
namespace {

#if RIMBLE_ARCH(X86_64)
// XGETBV is only executed after OSXSAVE says it exists; the target attribute
// keeps the rest of the file baseline.
[[gnu::target("xsave")]] std::uint64_t read_xcr0() {
  std::uint32_t eax = 0;
  std::uint32_t edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

CpuFeatures detect() {
  CpuFeatures f;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0, nullptr) < 1) return f;
  __cpuid(1, eax, ebx, ecx, edx);
  f.sse4_1 = (ecx >> 19) & 1u;
  f.sse4_2 = (ecx >> 20) & 1u;
  const bool fma = (ecx >> 12) & 1u;
  const bool xsave = (ecx >> 26) & 1u;
  // OSXSAVE: the OS has enabled XSETBV/XGETBV, so XCR0 can be read.
  const bool osxsave = (ecx >> 27) & 1u;

  bool avx2 = false;
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    avx2 = (ebx >> 5) & 1u;
  }
  // 256-bit registers are usable only if the OS saves both the SSE (bit 1) and
  // the AVX (bit 2) state on a context switch.
  bool ymm_saved = false;
  if (xsave && osxsave) {
    const std::uint64_t xcr0 = read_xcr0();
    ymm_saved = (xcr0 & 0x6u) == 0x6u;
  }
  f.avx2_fma = avx2 && fma && ymm_saved;
  return f;
}
#else
// Other processors: none of these features exist there.
CpuFeatures detect() { return {}; }
#endif

}  // namespace

const CpuFeatures& cpu_features() {
  // A function-local static is initialised exactly once, safely under
  // concurrent first use.
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace rimble
