// rimble/processor_tier.cpp: the factory's processor tier, from the feature cache and the cap.
#include "rimble/processor_tier.hpp"

#include <iterator>

namespace rimble {

ProcessorTier processor_tier() {
  const CpuFeatures& cpu = cpu_features();
  const ProcessorTier cap = testing::tier_cap();
  ProcessorTier chosen = ProcessorTier::Portable;
  for (const ProcessorTier tier : kProcessorTiers) {
    if (tier <= cap && tier_runs(tier, cpu)) chosen = tier;
  }
  return chosen;
}

// Weak, so that a test binary's definition replaces it at link time (and,
// being replaceable, it is never inlined into processor_tier).
[[gnu::weak]] ProcessorTier testing::tier_cap() { return kProcessorTiers[std::size(kProcessorTiers) - 1]; }

}  // namespace rimble
