// Arena writers: layout, the five extension rules, agreement of the writers of
// every tier and the dispatch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "filter_bank_fixtures.hpp"
#include "rimble/cpu_features.hpp"
#include "rimble/filter_padding.hpp"
#include "rimble/processor_tier.hpp"
#include "tier_cap.hpp"

namespace {

using rimble::ArenaWriter1d;
using rimble::BorderMode;
using rimble::ProcessorTier;

struct NamedWriter {
  std::string name;
  ArenaWriter1d write;
};

// The writer of every tier this processor runs.
std::vector<NamedWriter> writers() {
  std::vector<NamedWriter> all;
  for (const ProcessorTier tier : rimble::kProcessorTiers) {
    if (rimble::tier_runs(tier, rimble::cpu_features())) {
      all.push_back({std::string(rimble::tier_name(tier)), rimble::arena_writer(tier)});
    }
  }
  return all;
}

std::vector<float> arena_of(ArenaWriter1d write, const std::vector<float>& src, std::size_t left, std::size_t right,
                            BorderMode mode) {
  std::vector<float> arena(src.size() + left + right, -99.0f);
  EXPECT_TRUE(write(src, arena, left, right, mode).has_value());
  return arena;
}

TEST(ArenaWriter, FiveSampleSignalGivesThePicturedRows) {
  const auto& src = fixtures::kPictureSignal;
  for (const auto& writer : writers()) {
    for (const auto& row : fixtures::kPicturedExtensions) {
      SCOPED_TRACE(writer.name + " " + fixtures::mode_name(row.mode));
      EXPECT_EQ(arena_of(writer.write, src, 3, 3, row.mode), row.extended);
    }
  }
}

TEST(ArenaWriter, SingleSampleFillsBothExtensions) {
  const std::vector<float> src = {-2.5f};
  for (const auto& writer : writers()) {
    for (const BorderMode mode : fixtures::kAllModes) {
      SCOPED_TRACE(writer.name + " " + fixtures::mode_name(mode));
      const float edge = mode == BorderMode::Zeros ? 0.0f : -2.5f;
      const std::vector<float> want = {edge, edge, edge, edge, -2.5f, edge, edge, edge};
      EXPECT_EQ(arena_of(writer.write, src, 4, 3, mode), want);
    }
  }
}

TEST(ArenaWriter, PeriodicKeepsWrappingPastTheSignal) {
  const std::vector<float> src = {1, 2};  // a b
  for (const auto& writer : writers()) {
    SCOPED_TRACE(writer.name);
    // b a b a b · a b
    EXPECT_EQ(arena_of(writer.write, src, 5, 0, BorderMode::Periodic), (std::vector<float>{2, 1, 2, 1, 2, 1, 2}));
  }
}

TEST(ArenaWriter, ZerosWritesPositiveZeroNotEdgeSamples) {
  const std::vector<float> src = {-1.0f, -3.0f, -5.0f};
  for (const auto& writer : writers()) {
    SCOPED_TRACE(writer.name);
    const auto arena = arena_of(writer.write, src, 2, 2, BorderMode::Zeros);
    for (const std::size_t k : {0u, 1u, 5u, 6u}) {
      EXPECT_EQ(arena[k], 0.0f);
      EXPECT_FALSE(std::signbit(arena[k]));
    }
  }
}

// Bit-identical arenas from every routine the processor can run, for every
// mode, signal lengths 1..40 and extensions up to three signal lengths.
TEST(ArenaWriter, AllRoutinesWriteIdenticalArenas) {
  const auto all = writers();
  for (std::size_t n = 1; n <= 40; ++n) {
    const auto src = fixtures::random_signal(n, static_cast<std::uint32_t>(n));
    for (const BorderMode mode : fixtures::kAllModes) {
      for (std::size_t left = 0; left <= 3 * n; left += (n < 8 ? 1 : 3)) {
        for (const std::size_t right : {left, 3 * n - left, std::size_t{1}, n + 1}) {
          const auto want = arena_of(&rimble::write_arena_1d_impl, src, left, right, mode);
          for (const auto& writer : all) {
                    const auto got = arena_of(writer.write, src, left, right, mode);
            if (std::memcmp(got.data(), want.data(), want.size() * sizeof(float)) != 0) {
              ADD_FAILURE() << writer.name << " differs: n=" << n << " left=" << left << " right=" << right
                            << " mode=" << fixtures::mode_name(mode);
              return;
            }
          }
        }
      }
    }
  }
}

// The dispatch follows the factory's tier, cap included, so that a capped run of
// the suite writes its arenas with that tier's writer.
TEST(ArenaWriterDispatch, WritesWithTheWriterOfTheFactorysTier) {
  for (const ProcessorTier tier : rimble::kProcessorTiers) {
    if (!rimble::tier_runs(tier, rimble::cpu_features())) continue;
    const quorvel_testing::ScopedTierCap scoped(tier);
    EXPECT_EQ(rimble::MAKE_ARENA_1D_DISPATCH.get(), rimble::arena_writer(tier)) << rimble::tier_name(tier);
  }
#if RIMBLE_ARCH(X86_64)
  EXPECT_EQ(rimble::arena_writer(ProcessorTier::Portable), &rimble::write_arena_1d_impl);
  EXPECT_EQ(rimble::arena_writer(ProcessorTier::Sse), &rimble::write_arena_1d_sse4_1);
  EXPECT_EQ(rimble::arena_writer(ProcessorTier::Avx), &rimble::write_arena_1d_avx);
#endif
}

TEST(ArenaWriterDeathTest, MismatchedLengthsEndTheProcess) {
  const std::vector<float> src = {1, 2, 3};
  std::vector<float> arena(8);
  const char* message =
      "internal error: entered unreachable code: This is an internal configuration error. Please, report it.";
  for (const auto& writer : writers()) {
    SCOPED_TRACE(writer.name);
    EXPECT_DEATH((void)writer.write(src, arena, 2, 2, BorderMode::Periodic), message);
    // Lengths whose sum wraps around must not pass either.
    EXPECT_DEATH((void)writer.write(src, arena, SIZE_MAX, 6, BorderMode::Zeros), message);
  }
}

}  // namespace
