// BorderInterpolation: index mapping of the five border modes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "filter_bank_fixtures.hpp"
#include "rimble/border_mode.hpp"

namespace {

using rimble::BorderInterpolation;
using rimble::BorderMode;

// The extended signal at x = -3 .. 7 against the hand-written picture.
TEST(BorderInterpolation, FiveSampleSignalExtendsAsPictured) {
  const auto& src = fixtures::kPictureSignal;
  for (const auto& row : fixtures::kPicturedExtensions) {
    SCOPED_TRACE(fixtures::mode_name(row.mode));
    const BorderInterpolation border(row.mode, 0, 5);
    std::vector<float> got(11);
    border.gather(std::span<const float>(src), -3, std::span<float>(got));
    EXPECT_EQ(got, row.extended);
    // The tests' border oracle draws the same picture.
    for (std::int64_t x = -3; x < 8; ++x) {
      EXPECT_EQ(fixtures::extended(src, x, row.mode), row.extended[static_cast<std::size_t>(x + 3)]) << "x = " << x;
    }
  }
}

TEST(BorderInterpolation, PeriodicWrapsIndicesFarOutside) {
  const BorderInterpolation border(BorderMode::Periodic, 0, 2);
  EXPECT_EQ(border.map(-5), 1);
  EXPECT_EQ(border.map(-4), 0);
  EXPECT_EQ(border.map(9), 1);
  EXPECT_EQ(border.map(1), 1);
}

// Beyond one mirrored copy the mirrors repeat that copy (period n for
// Symmetric, n - 1 for Reflect) rather than fold back and forth.
TEST(BorderInterpolation, MirrorsRepeatBeyondOneCopy) {
  const BorderInterpolation symmetric(BorderMode::Symmetric, 0, 3);
  EXPECT_EQ(symmetric.map(-4), 0);  // x[-4] = x[-1], not the folded x[3 - 1]
  EXPECT_EQ(symmetric.map(6), 2);   // x[6] = x[3]
  const BorderInterpolation reflect(BorderMode::Reflect, 0, 3);
  EXPECT_EQ(reflect.map(-3), 1);
  EXPECT_EQ(reflect.map(4), 2);  // period n - 1 = 2: x[4] = x[2], not the folded x[0]
}

TEST(BorderInterpolation, SingleSampleFillsEveryExtension) {
  const std::vector<float> src = {7};
  for (const BorderMode mode : fixtures::kAllModes) {
    SCOPED_TRACE(fixtures::mode_name(mode));
    const BorderInterpolation border(mode, 0, 1);
    const float want = mode == BorderMode::Zeros ? 0.0f : 7.0f;
    for (const std::int64_t x : {-3, -1, 1, 2, 5}) EXPECT_EQ(border.sample(std::span<const float>(src), x), want);
  }
}

TEST(BorderInterpolation, RangeNeedNotStartAtZero) {
  // Signal occupies indices 10..14 of some larger array.
  const std::vector<float> src = {1, 2, 3, 4, 5};
  const BorderInterpolation periodic(BorderMode::Periodic, 10, 15);
  EXPECT_EQ(periodic.map(9), 14);
  EXPECT_EQ(periodic.map(15), 10);
  const BorderInterpolation reflect(BorderMode::Reflect, 10, 15);
  EXPECT_EQ(reflect.map(9), 11);
  EXPECT_EQ(reflect.sample(std::span<const float>(src), 16), 3.0f);
}

TEST(BorderInterpolation, ZerosIsExactlyPositiveZero) {
  const std::vector<float> src = {-1.0f, -2.0f};
  const BorderInterpolation border(BorderMode::Zeros, 0, 2);
  const float left = border.sample(std::span<const float>(src), -1);
  EXPECT_EQ(left, 0.0f);
  EXPECT_FALSE(std::signbit(left));
}

TEST(BorderInterpolationDeathTest, PeriodicOverAnEmptyRangeEndsTheProcess) {
  EXPECT_DEATH(BorderInterpolation(BorderMode::Periodic, 0, 0),
               "attempt to calculate the remainder with a divisor of zero");
}

TEST(BorderInterpolationDeathTest, UnknownModeCodeEndsTheProcess) {
  EXPECT_DEATH(BorderInterpolation(static_cast<BorderMode>(5), 0, 4), "unknown border mode");
}

TEST(BorderInterpolation, ZerosAcceptsAnEmptyRange) {
  const BorderInterpolation border(BorderMode::Zeros, 0, 0);
  EXPECT_EQ(border.sample(std::span<const float>(), -1), 0.0f);
}

}  // namespace
