// rimble/processor_tier.hpp: the processor tiers among which the factory chooses, listed once.
#pragma once

#include <cstdint>
#include <string_view>

#include "rimble/arch.hpp"
#include "rimble/cpu_features.hpp"

// The vector tiers, lowest first, one row each:
//   X(Tier, folder, arch, runs, longest)
// Tier     its ProcessorTier enumerator, and the prefix of its executors' names
//          (rimble::<folder>::<Tier>Wavelet8TapsF32, rimble/vector_filter_bank.hpp);
// folder   rimble/<folder>/filter_bank.cpp holds its registers, compiled for its instruction
//          set; also its namespace and its name (tier_name, the tests' --quorvel_tier_cap=);
// arch     the architecture whose builds compile it (RIMBLE_ARCH);
// runs     whether a processor runs it, an expression over `const CpuFeatures& cpu`;
// longest  the longest filter of RIMBLE_FIXED_TAPS its kernels unroll; longer filters run on
//          its n-tap executor.
// Within one architecture a processor that runs a tier runs every lower one.
//   Sse  SSE4.2, four lanes, every product rounded before it is added (no lifting kernels:
//        the lifting transforms fall back to the portable ones)
//   Avx  AVX2 and FMA with the YMM state saved by the OS, eight lanes, fused multiply-add
#define RIMBLE_VECTOR_TIERS(X)                 \
  X(Sse, sse, X86_64, cpu.sse4_2, 12)         \
  X(Avx, avx, X86_64, cpu.avx2_fma, 16)

namespace rimble {

// Portable runs everywhere; the vector tiers follow in the order of their rows.
enum class ProcessorTier : std::uint8_t {
  Portable,
#define RIMBLE_TIER_ENUMERATOR(Tier, ...) Tier,
  RIMBLE_VECTOR_TIERS(RIMBLE_TIER_ENUMERATOR)
#undef RIMBLE_TIER_ENUMERATOR
};

// Every tier, lowest first.
inline constexpr ProcessorTier kProcessorTiers[] = {
    ProcessorTier::Portable,
#define RIMBLE_TIER_ELEMENT(Tier, ...) ProcessorTier::Tier,
    RIMBLE_VECTOR_TIERS(RIMBLE_TIER_ELEMENT)
#undef RIMBLE_TIER_ELEMENT
};

// "portable", or the folder of a vector tier.
[[nodiscard]] constexpr std::string_view tier_name(ProcessorTier tier) {
  switch (tier) {
#define RIMBLE_TIER_NAME(Tier, folder, ...) \
  case ProcessorTier::Tier:                 \
    return #folder;
    RIMBLE_VECTOR_TIERS(RIMBLE_TIER_NAME)
#undef RIMBLE_TIER_NAME
    case ProcessorTier::Portable:
      break;
  }
  return "portable";
}

// Whether this build compiles the tier: Portable, and the vector tiers of its architecture.
[[nodiscard]] constexpr bool tier_built(ProcessorTier tier) {
  switch (tier) {
#define RIMBLE_TIER_BUILT(Tier, folder, arch, ...) \
  case ProcessorTier::Tier:                        \
    return RIMBLE_ARCH(arch);
    RIMBLE_VECTOR_TIERS(RIMBLE_TIER_BUILT)
#undef RIMBLE_TIER_BUILT
    case ProcessorTier::Portable:
      break;
  }
  return true;
}

// Whether this build compiles the tier and a processor with these features runs it.
[[nodiscard]] constexpr bool tier_runs(ProcessorTier tier, const CpuFeatures& cpu) {
  switch (tier) {
#define RIMBLE_TIER_RUNS(Tier, folder, arch, runs, ...) \
  case ProcessorTier::Tier:                             \
    return tier_built(tier) && (runs);
    RIMBLE_VECTOR_TIERS(RIMBLE_TIER_RUNS)
#undef RIMBLE_TIER_RUNS
    case ProcessorTier::Portable:
      break;
  }
  return true;
}

// The tier the factory builds for: the highest one that cpu_features() runs, not above
// testing::tier_cap(). Read once per constructor call.
[[nodiscard]] ProcessorTier processor_tier();

namespace testing {

// The highest tier the factory may choose. The library's own definition is
// weak and sets no cap; only a test binary defines a strong one (the GoogleTest
// main in tests/cpp), so that its suite also runs the lower tiers' executors on
// a processor with a higher one. Nothing linked into the Python module defines
// it, so nothing there can change the factory's choice.
[[nodiscard]] ProcessorTier tier_cap();

}  // namespace testing

}  // namespace rimble
