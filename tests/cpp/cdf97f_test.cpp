// CDF 9/7 lifting: constants, worked values and the errors of whole transforms with their exact
// words (one level's sizes and checks: lifting_test.cpp).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "lifting_test_support.hpp"
#include "rimble/rimble.hpp"

namespace {

using rimble::cdf97f::Cdf97;
namespace c97 = rimble::cdf97f;

const Cdf97 cdf97;

TEST(Cdf97, ConstantsHaveTheirBitPatterns) {
  const struct {
    float value;
    std::uint32_t bits;
    double published;  // full-precision value the float rounds
  } rows[] = {
      {c97::kAlpha, 0xBFCB0673u, -1.586134342059924},
      {c97::kBeta, 0xBD5901AEu, -0.052980118572961},
      {c97::kGamma, 0x3F620676u, 0.882911075530934},
      {c97::kDelta, 0x3EE31355u, 0.443506852043971},
      {c97::kK, 0x3F93263Du, std::sqrt(2.0) / 1.230174104914001},
      {c97::kKPrime, 0x3F5EAF70u, 1.230174104914001 / std::sqrt(2.0)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bits);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(row.value), row.bits);
    EXPECT_EQ(row.value, static_cast<float>(row.published));
  }
  // K' is stored, not computed: the float reciprocal of K is one unit lower.
  EXPECT_EQ(std::bit_cast<std::uint32_t>(1.0f / c97::kK), 0x3F5EAF6Fu);
}

TEST(Cdf97, WorkedValuesReproduce) {
  const struct {
    std::vector<float> input;
    std::vector<double> approx, details;
  } rows[] = {
      {{1, 1, 1, 1}, {1.41421, 1.41421}, {0, 0}},
      {{1, 2, 3, 4}, {1.73474, 4.43593}, {0.0476989, 0.611709}},
      {{1, 4, 2, 8, 3}, {3.27480, 5.65685, 8.03891}, {1.73409, 3.92277}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.input));
    std::vector<float> approx(row.approx.size()), details(row.details.size());
    ASSERT_TRUE(cdf97.execute_forward(row.input, approx, details));
    // The table gives six significant digits: half a unit of the sixth digit, plus a little
    // float rounding for the zero details.
    for (std::size_t i = 0; i < approx.size(); ++i) {
      EXPECT_NEAR(approx[i], row.approx[i], 5e-6 * std::fabs(row.approx[i]) + 1e-6) << i;
    }
    for (std::size_t i = 0; i < details.size(); ++i) {
      EXPECT_NEAR(details[i], row.details[i], 5e-6 * std::fabs(row.details[i]) + 1e-6) << i;
    }
  }
}

TEST(Cdf97, ConstantSignalGivesSqrtTwoAndZeroDetails) {
  for (std::size_t n : {4u, 5u, 17u, 64u}) {
    SCOPED_TRACE(n);
    const std::vector<float> input(n, 3.0f);
    std::vector<float> approx((n + 1) / 2), details(n / 2);
    ASSERT_TRUE(cdf97.execute_forward(input, approx, details));
    // A few float roundings of values near 3 and 4.2.
    for (float a : approx) EXPECT_NEAR(a, 3.0 * std::sqrt(2.0), 2e-6);
    for (float d : details) EXPECT_NEAR(d, 0.0, 2e-6);
  }
}

TEST(Cdf97, WholeTransformErrors) {
  const std::vector<float> three(3, 1.0f), eight{1, 4, 2, 8, 3, 5, 7, 6};
  const std::string too_small = "Buffer was too small for provided level";
  EXPECT_EQ(cdf97.dwt(three, 0).error().message(), too_small);
  EXPECT_EQ(cdf97.multi_dwt(three, 1).error().message(), too_small);
  EXPECT_EQ(cdf97.multi_dwt(eight, 3).error().message(), too_small);
  EXPECT_EQ(cdf97.dwt(eight, 3).error().message(), too_small);

  const std::vector<float> band{1, 2};
  EXPECT_EQ(cdf97.multi_idwt({band, {}}).error().message(), "Zero sized input is not supported");
  EXPECT_EQ(cdf97.multi_idwt({{}, {band}}).error().message(), "Zero sized input is not supported");
  EXPECT_EQ(cdf97.idwt({{}, {}}).error().message(), "Approximate size 0 does not match required size 2");
}

TEST(Cdf97, MultiDwtOfEightSamplesHasTwoLevels) {
  const std::vector<float> eight{1, 4, 2, 8, 3, 5, 7, 6};
  const auto result = cdf97.multi_dwt(eight, 2);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->levels.size(), 2u);
  EXPECT_EQ(result->levels[0].approximations.size(), 4u);
  EXPECT_EQ(result->levels[0].details.size(), 4u);
  EXPECT_EQ(result->levels[1].approximations.size(), 2u);
  EXPECT_EQ(result->levels[1].details.size(), 2u);
}

}  // namespace
