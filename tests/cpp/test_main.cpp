// tests/cpp/test_main.cpp: the GoogleTest main of the C++ suite, with the
// factory's tier cap.
//
//   quorvel_tests --quorvel_tier_cap=sse   runs every test with the factory
//                                          limited to the SSE4.2 executors
// CTest runs the suite uncapped and again capped at sse and at portable, so
// every factory- and codec-facing test also covers the lower tiers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "tier_cap.hpp"

namespace {

std::atomic<rimble::ProcessorTier> current_cap{rimble::ProcessorTier::Avx};

bool parse_tier(std::string_view text, rimble::ProcessorTier& tier) {
  if (text == "portable") tier = rimble::ProcessorTier::Portable;
  else if (text == "sse") tier = rimble::ProcessorTier::Sse;
  else if (text == "avx") tier = rimble::ProcessorTier::Avx;
  else return false;
  return true;
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
    rimble::ProcessorTier tier{};
    if (argument.substr(0, flag.size()) != flag || !parse_tier(argument.substr(flag.size()), tier)) {
      std::fprintf(stderr, "unknown argument %s (expected --quorvel_tier_cap=portable|sse|avx)\n", argv[i]);
      return 2;
    }
    current_cap.store(tier);
    std::printf("Factory tier capped at %s\n", argument.substr(flag.size()).data());
  }
  return RUN_ALL_TESTS();
}
