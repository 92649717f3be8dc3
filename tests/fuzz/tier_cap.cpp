// tests/fuzz/tier_cap.cpp: which processor tier the fuzz drivers' codec runs on.
//
// QUORVEL_FUZZ_TIER=<name> (portable, sse, avx: rimble::tier_name) caps the
// factory's choice, so that the lower tiers' executors meet hostile input too,
// not only the best tier of the fuzzing machine. Unset, nothing is capped: the
// processor decides.

#include <cstdlib>
#include <iterator>
#include <string_view>

#include "rimble/processor_tier.hpp"

rimble::ProcessorTier rimble::testing::tier_cap() {
  static const ProcessorTier cap = [] {
    const char* text = std::getenv("QUORVEL_FUZZ_TIER");
    const std::string_view name = text ? text : "";
    for (const ProcessorTier tier : kProcessorTiers) {
      if (tier_name(tier) == name) return tier;
    }
    return kProcessorTiers[std::size(kProcessorTiers) - 1];
  }();
  return cap;
}
