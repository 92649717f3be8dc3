// tests/cpp/test_main.cpp: the GoogleTest main of the C++ suite, with the
// factory's tier cap.
//
//   quorvel_tests --quorvel_tier_cap=sse   runs every test with the factory
//                                          limited to the SSE4.2 executors
//                                          (any name of rimble::tier_name)
//   quorvel_tests --quorvel_lower_tiers    names the tiers below the best one
//                                          this processor runs, one a line
// CTest runs the suite uncapped and again capped at each of those lower tiers
// (tests/cpp/CMakeLists.txt), so every factory- and codec-facing test also
// covers them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "tier_cap.hpp"

namespace {

std::atomic<rimble::ProcessorTier> current_cap{rimble::kProcessorTiers[std::size(rimble::kProcessorTiers) - 1]};

std::optional<rimble::ProcessorTier> tier_named(std::string_view name) {
  for (const rimble::ProcessorTier tier : rimble::kProcessorTiers) {
    if (rimble::tier_name(tier) == name) return tier;
  }
  return std::nullopt;
}

std::string tier_names() {
  std::string names;
  for (const rimble::ProcessorTier tier : rimble::kProcessorTiers) {
    if (!names.empty()) names += '|';
    names += rimble::tier_name(tier);
  }
  return names;
}

// Every tier the processor runs but its best.
void print_lower_tiers() {
  const char* lower = nullptr;
  for (const rimble::ProcessorTier tier : rimble::kProcessorTiers) {
    if (!rimble::tier_runs(tier, rimble::cpu_features())) continue;
    if (lower != nullptr) std::printf("%s\n", lower);
    lower = rimble::tier_name(tier).data();
  }
}

}  // namespace

// Replaces the library's weak definition for this binary only.
rimble::ProcessorTier rimble::testing::tier_cap() { return current_cap.load(); }

namespace quorvel_testing {

ScopedTierCap::ScopedTierCap(rimble::ProcessorTier cap) : previous_(current_cap.exchange(cap)) {}
ScopedTierCap::~ScopedTierCap() { current_cap.store(previous_); }

}  // namespace quorvel_testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  constexpr std::string_view flag = "--quorvel_tier_cap=";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--quorvel_lower_tiers") {
      print_lower_tiers();
      return 0;
    }
    const auto tier = argument.starts_with(flag) ? tier_named(argument.substr(flag.size())) : std::nullopt;
    if (!tier) {
      std::fprintf(stderr, "unknown argument %s (expected --quorvel_tier_cap=%s or --quorvel_lower_tiers)\n",
                   argv[i], tier_names().c_str());
      return 2;
    }
    current_cap.store(*tier);
    std::printf("Factory tier capped at %s\n", argument.substr(flag.size()).data());
  }
  return RUN_ALL_TESTS();
}
