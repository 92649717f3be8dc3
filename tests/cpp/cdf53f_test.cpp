// CDF 5/3 lifting: worked values and the errors of whole transforms with their exact words
// (one level's sizes and checks: lifting_test.cpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "lifting_test_support.hpp"
#include "rimble/rimble.hpp"

namespace {

using rimble::RimbleError;
using rimble::cdf53f::Cdf53;

const Cdf53 cdf53;

// The weights are powers of two and these inputs small integers, so every value is exact.
TEST(Cdf53, WorkedValuesAreExact) {
  const struct {
    std::vector<float> input, approx, details;
  } rows[] = {
      {{1, 2, 3, 4}, {1, 3.25f}, {0, 1}},                     // last detail mirrors x[2]
      {{1, 4, 2, 8, 3}, {2.25f, 4, 5.75f}, {2.5f, 5.5f}},     // last approximation mirrors D[1]
      {{1, 4, 2}, {2.25f, 3.25f}, {2.5f}},                    // both ends use the one detail
      {{7, 7, 7, 7, 7, 7, 7}, {7, 7, 7, 7}, {0, 0, 0}},       // constant: zero details
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.input));
    std::vector<float> approx(row.approx.size()), details(row.details.size());
    ASSERT_TRUE(cdf53.execute_forward(row.input, approx, details));
    EXPECT_EQ(approx, row.approx);
    EXPECT_EQ(details, row.details);

    std::vector<float> output(row.input.size());
    ASSERT_TRUE(cdf53.execute_inverse(approx, details, output));
    EXPECT_EQ(output, row.input);
  }
}

TEST(Cdf53, WholeTransformErrors) {
  const std::vector<float> two(2, 1.0f), five{1, 4, 2, 8, 3};
  const std::string too_small = "Buffer was too small for provided level";
  EXPECT_EQ(cdf53.dwt(two, 1).error().message(), too_small);
  EXPECT_EQ(cdf53.multi_dwt(two, 0).error().message(), too_small);
  EXPECT_EQ(cdf53.multi_dwt(std::vector<float>{}, 1).error().message(), too_small);
  // The third level's input has 2 samples.
  EXPECT_EQ(cdf53.multi_dwt(five, 3).error().message(), too_small);
  EXPECT_EQ(cdf53.dwt(five, 3).error().message(), too_small);
  // An absurd level count fails like any other too-deep request.
  EXPECT_EQ(cdf53.multi_dwt(five, std::numeric_limits<std::size_t>::max()).error(),
            RimbleError::buffer_too_small_for_level());

  const std::vector<float> band{1, 2};
  EXPECT_EQ(cdf53.multi_idwt({band, {}}).error().message(), "Zero sized input is not supported");
  EXPECT_EQ(cdf53.multi_idwt({{}, {band}}).error().message(), "Zero sized input is not supported");
  EXPECT_EQ(cdf53.idwt({{}, {}}).error().message(), "Approximate size 0 does not match required size 2");
  // Bands that do not chain pass the inverse's error through: 2 + 2 rebuild 4 samples, too many
  // for a finer detail band of 2.
  EXPECT_EQ(cdf53.multi_idwt({band, {band, band}}).error().message(),
            "Approximate size 4 does not match required size 3");
}

TEST(Cdf53, MultiDwtOfFiveSamplesHasTwoLevels) {
  const std::vector<float> five{1, 4, 2, 8, 3};
  const auto result = cdf53.multi_dwt(five, 2);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->levels.size(), 2u);
  EXPECT_EQ(result->levels[0].approximations, (std::vector<float>{2.25f, 4, 5.75f}));
  EXPECT_EQ(result->levels[0].details, (std::vector<float>{2.5f, 5.5f}));
  EXPECT_EQ(result->levels[1].approximations.size(), 2u);
  EXPECT_EQ(result->levels[1].details.size(), 1u);

  const auto back = cdf53.multi_idwt({result->levels[1].approximations,
                                      {result->levels[0].details, result->levels[1].details}});
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, five);
}

}  // namespace
