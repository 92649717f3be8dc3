// tests/fuzz/tier_cap.cpp: which processor tier the fuzz drivers' codec runs on.
//
// QUORVEL_FUZZ_TIER=portable|sse|avx caps the factory's choice, so that the
// SSE4.2 and portable executors meet hostile input too, not only the best tier
// of the fuzzing machine. Unset, the cap is avx: the processor decides.

#include <cstdlib>
#include <string_view>

#include "rimble/processor_tier.hpp"

rimble::ProcessorTier rimble::testing::tier_cap() {
  static const ProcessorTier cap = [] {
    const char* text = std::getenv("QUORVEL_FUZZ_TIER");
    const std::string_view tier = text ? text : "avx";
    if (tier == "portable") return ProcessorTier::Portable;
    if (tier == "sse") return ProcessorTier::Sse;
    return ProcessorTier::Avx;
  }();
  return cap;
}
