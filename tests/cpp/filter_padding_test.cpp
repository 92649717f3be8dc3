// Arena writers: layout, the five extension rules, agreement of the three
// routines and the dispatch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "filter_bank_fixtures.hpp"
#include "rimble/cpu_features.hpp"
#include "rimble/filter_padding.hpp"

namespace {

using rimble::ArenaWriter1d;
using rimble::BorderMode;

struct NamedWriter {
  const char* name;
  ArenaWriter1d write;
  bool available;
};

std::vector<NamedWriter> writers() {
#if defined(__x86_64__)
  const auto& cpu = rimble::cpu_features();
  return {{"impl", &rimble::write_arena_1d_impl, true},
          {"sse4_1", &rimble::write_arena_1d_sse4_1, cpu.sse4_1},
          {"avx", &rimble::write_arena_1d_avx, cpu.avx2_fma}};
#else
  return {{"impl", &rimble::write_arena_1d_impl, true}};
#endif
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
    if (!writer.available) continue;
    for (const auto& row : fixtures::kPicturedExtensions) {
      SCOPED_TRACE(std::string(writer.name) + " " + fixtures::mode_name(row.mode));
      EXPECT_EQ(arena_of(writer.write, src, 3, 3, row.mode), row.extended);
    }
  }
}

TEST(ArenaWriter, SingleSampleFillsBothExtensions) {
  const std::vector<float> src = {-2.5f};
  for (const auto& writer : writers()) {
    if (!writer.available) continue;
    for (const BorderMode mode : fixtures::kAllModes) {
      SCOPED_TRACE(std::string(writer.name) + " " + fixtures::mode_name(mode));
      const float edge = mode == BorderMode::Zeros ? 0.0f : -2.5f;
      const std::vector<float> want = {edge, edge, edge, edge, -2.5f, edge, edge, edge};
      EXPECT_EQ(arena_of(writer.write, src, 4, 3, mode), want);
    }
  }
}

TEST(ArenaWriter, PeriodicKeepsWrappingPastTheSignal) {
  const std::vector<float> src = {1, 2};  // a b
  for (const auto& writer : writers()) {
    if (!writer.available) continue;
    SCOPED_TRACE(writer.name);
    // b a b a b · a b
    EXPECT_EQ(arena_of(writer.write, src, 5, 0, BorderMode::Periodic), (std::vector<float>{2, 1, 2, 1, 2, 1, 2}));
  }
}

TEST(ArenaWriter, ZerosWritesPositiveZeroNotEdgeSamples) {
  const std::vector<float> src = {-1.0f, -3.0f, -5.0f};
  for (const auto& writer : writers()) {
    if (!writer.available) continue;
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
            if (!writer.available) continue;
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

TEST(ArenaWriterDeathTest, MismatchedLengthsEndTheProcess) {
  const std::vector<float> src = {1, 2, 3};
  std::vector<float> arena(8);
  const char* message =
      "internal error: entered unreachable code: This is an internal configuration error. Please, report it.";
  for (const auto& writer : writers()) {
    if (!writer.available) continue;
    SCOPED_TRACE(writer.name);
    EXPECT_DEATH((void)writer.write(src, arena, 2, 2, BorderMode::Periodic), message);
    // Lengths whose sum wraps around must not pass either.
    EXPECT_DEATH((void)writer.write(src, arena, SIZE_MAX, 6, BorderMode::Zeros), message);
  }
}

}  // namespace
