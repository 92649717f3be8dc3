// tests/cpp/tier_cap.hpp: lowering the factory's processor tier inside tests.
#pragma once

#include "rimble/processor_tier.hpp"

namespace quorvel_testing {

// Lowers the cap for one scope and restores the previous one. Not for tests
// that run concurrently.
class ScopedTierCap {
 public:
  explicit ScopedTierCap(rimble::ProcessorTier cap);
  ~ScopedTierCap();
  ScopedTierCap(const ScopedTierCap&) = delete;
  ScopedTierCap& operator=(const ScopedTierCap&) = delete;

 private:
  rimble::ProcessorTier previous_;
};

}  // namespace quorvel_testing
