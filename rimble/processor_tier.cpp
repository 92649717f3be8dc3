// rimble/processor_tier.cpp: the factory's processor tier, from the feature cache.
#include "rimble/processor_tier.hpp"

#include <algorithm>

#include "rimble/cpu_features.hpp"

namespace rimble {

ProcessorTier processor_tier() {
  const CpuFeatures& features = cpu_features();
  const ProcessorTier detected = features.avx2_fma ? ProcessorTier::Avx
                                 : features.sse4_2 ? ProcessorTier::Sse
                                                   : ProcessorTier::Portable;
  return std::min(detected, testing::tier_cap());
}

// Weak, so that a test binary's definition replaces it at link time (and,
// being replaceable, it is never inlined into processor_tier).
[[gnu::weak]] ProcessorTier testing::tier_cap() { return ProcessorTier::Avx; }

}  // namespace rimble
