// rimble/vector_filter_bank.hpp: the filter banks of the vector tiers (the rows of
// RIMBLE_VECTOR_TIERS): their kernels, their executors by name, and the one switch from a tier
// to its kernels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rimble/filter_bank.hpp"
#include "rimble/processor_tier.hpp"
#include "rimble/records.hpp"
#include "rimble/wavelet_n_taps.hpp"

namespace rimble {

// The kernels of a vector tier: the polyphase loops of rimble/vector_kernels.hpp on the tier's
// registers, compiled for its instruction set and instantiated in rimble/<folder>/filter_bank.cpp,
// for every length of RIMBLE_FIXED_TAPS and for the n-tap executor. Run them only where
// tier_runs(tier, cpu_features()).
template <ProcessorTier tier>
struct VectorKernels {
  using sample_type = float;
  static constexpr std::size_t max_fixed_taps = [] {
    switch (tier) {
#define RIMBLE_TIER_LONGEST(Tier, folder, arch, runs, longest) \
  case ProcessorTier::Tier:                                    \
    return std::size_t{longest};
      RIMBLE_VECTOR_TIERS(RIMBLE_TIER_LONGEST)
#undef RIMBLE_TIER_LONGEST
      case ProcessorTier::Portable:
        break;
    }
    return std::size_t{0};
  }();

  template <std::size_t L>
  static void forward(const float* x, std::size_t count, const float* low, const float* high, std::size_t taps,
                      float* approx, float* details);
  template <std::size_t L>
  static void inverse(const float* approx, const float* details, std::size_t count, const float* low,
                      const float* high, std::size_t taps, float* out);
  template <std::size_t L>
  static void inverse_quantised(const float* approx, const std::int16_t* details, float step, std::size_t count,
                                const float* low, const float* high, float* out, const OutputMap<float>& map);
};

// Each vector tier's kernels and executors by name, in namespace rimble::<folder>:
// FilterBankKernels, <Tier>Wavelet<L>TapsF32 for each length up to its longest and
// <Tier>WaveletNTapsF32 for any length; so rimble::avx::AvxWavelet2TapsF32 ...
// AvxWavelet16TapsF32 and AvxWaveletNTapsF32, rimble::sse::SseWavelet2TapsF32 ...
// SseWavelet12TapsF32 and SseWaveletNTapsF32 (SSE runs 16 taps on its n-tap executor).
#define RIMBLE_NAME_FIXED_EXECUTOR(L, Tier) using Tier##Wavelet##L##TapsF32 = FixedTapsFilterBank<FilterBankKernels, L>;
#define RIMBLE_NAME_TIER_EXECUTORS(Tier, folder, arch, runs, longest)          \
  namespace folder {                                                           \
  using FilterBankKernels = VectorKernels<ProcessorTier::Tier>;                \
  RIMBLE_FIXED_TAPS_UP_TO_##longest(RIMBLE_NAME_FIXED_EXECUTOR, Tier)          \
  using Tier##WaveletNTapsF32 = NTapsFilterBank<FilterBankKernels>;            \
  }
RIMBLE_VECTOR_TIERS(RIMBLE_NAME_TIER_EXECUTORS)
#undef RIMBLE_NAME_TIER_EXECUTORS
#undef RIMBLE_NAME_FIXED_EXECUTOR

// Calls visit.template operator()<Kernels>() with the kernels of `tier`: the portable ones for
// Portable and for a tier this build does not compile (which never runs), a vector tier's own
// otherwise.
template <class Visit>
decltype(auto) visit_tier_kernels(ProcessorTier tier, Visit&& visit) {
  switch (tier) {
#define RIMBLE_TIER_CASE(Tier, folder, ...)                                                                 \
  case ProcessorTier::Tier:                                                                                 \
    if constexpr (tier_built(ProcessorTier::Tier)) return visit.template operator()<folder::FilterBankKernels>(); \
    break;
    RIMBLE_VECTOR_TIERS(RIMBLE_TIER_CASE)
#undef RIMBLE_TIER_CASE
    case ProcessorTier::Portable:
      break;
  }
  return visit.template operator()<PortableKernels<float>>();
}

}  // namespace rimble
