// Joint lanes through the C++ API: the reference table read back, every lane's target on its own
// samples, the same samples on any number of threads, and the lanes coded alone when asked.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "codec/codec.hpp"

namespace {

using Shape = std::vector<std::uint64_t>;

// Five lanes of one random walk at different gains, each with a little noise of its own.
std::vector<double> shared_walk(std::size_t n) {
  std::mt19937 random(11);
  std::normal_distribution<double> step(0.0, 1.0), own(0.0, 0.01);
  std::vector<double> walk(n);
  for (std::size_t i = 1; i < n; ++i) walk[i] = walk[i - 1] + step(random);
  std::vector<double> x;
  for (const double gain : {1.0, -0.8, 0.5, 2.0, 1.3}) {
    for (std::size_t i = 0; i < n; ++i) x.push_back(gain * walk[i] + own(random));
  }
  return x;
}

struct Case {
  quorvel::TargetKind kind;
  double value;
};

class JointFrame : public ::testing::TestWithParam<Case> {};

TEST_P(JointFrame, KeepsEveryLanesTargetAndDecodesAlikeOnAnyThreads) {
  constexpr std::size_t n = 4000;
  const auto x = shared_walk(n);
  const Shape shape = {5, n};
  const quorvel::FrameSettings settings{.target = quorvel::Target{GetParam().kind, GetParam().value}, .threads = 2,
                                        .format = 2};
  const auto joint = quorvel::encode_frame(std::span<const double>(x), shape, settings);
  const auto alone = quorvel::encode_frame(std::span<const double>(x), shape, settings, false);
  ASSERT_TRUE(joint && alone);
  EXPECT_LT(joint->size(), alone->size());
  EXPECT_EQ((*alone)[7], quorvel::frame_flag_crc);
  const auto info = quorvel::read_frame_info(*joint);
  ASSERT_TRUE(info);
  ASSERT_FALSE(info->references.empty());
  for (const auto& r : info->references) {
    EXPECT_NE(r.lane, r.reference);
    EXPECT_NE(r.weight, 0);
  }
  std::vector<double> one(x.size()), two(x.size());
  ASSERT_TRUE(quorvel::decode_frame(*joint, std::span<double>(one), 1));
  ASSERT_TRUE(quorvel::decode_frame(*joint, std::span<double>(two), 2));
  EXPECT_EQ(one, two);
  for (std::size_t lane = 0; lane < 5; ++lane) {
    double worst = 0, squares = 0, energy = 0;
    for (std::size_t i = lane * n; i < (lane + 1) * n; ++i) {
      const double d = one[i] - x[i];
      worst = std::max(worst, std::abs(d)), squares += d * d, energy += x[i] * x[i];
    }
    const double figure = GetParam().kind == quorvel::TargetKind::max_error ? worst
                          : GetParam().kind == quorvel::TargetKind::rmse    ? std::sqrt(squares / n)
                                                                            : 100 * std::sqrt(squares / energy);
    EXPECT_LE(figure, GetParam().value) << "lane " << lane;
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, JointFrame,
                         ::testing::Values(Case{quorvel::TargetKind::max_error, 0.01},
                                           Case{quorvel::TargetKind::rmse, 0.005},
                                           Case{quorvel::TargetKind::prd, 0.1}));

}  // namespace
