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
  EXPECT_EQ((*alone)[7], quorvel::frame_flag_crc | quorvel::frame_flag_compact);
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

// A part of a frame (some lanes, a range of samples crossing block boundaries) is the same slice of
// the whole frame decoded, joint lanes, NaN runs and a lane of NaN alone included, either layout.
TEST(FramePart, IsTheSliceOfTheWholeFrame) {
  constexpr std::size_t n = 40000;  // three blocks of 2^14
  auto x = shared_walk(n);
  for (std::size_t i = 100; i < 16500; ++i) x[i] = std::nan("");  // a run across a block boundary
  for (std::size_t i = 4 * n; i < 5 * n; ++i) x[i] = -HUGE_VAL;     // a lane without a container
  const Shape shape = {5, n};
  const quorvel::FrameSettings settings{.target = quorvel::Target{quorvel::TargetKind::max_error, 0.01},
                                        .threads = 2, .format = 2};
  for (const auto layout : {quorvel::FrameLayout::compact, quorvel::FrameLayout::lane_table}) {
    const auto frame = quorvel::encode_frame(std::span<const double>(x), shape, settings, true, layout).value();
    ASSERT_FALSE(quorvel::read_frame_info(frame)->references.empty());
    std::vector<double> whole(x.size());
    ASSERT_TRUE(quorvel::decode_frame(frame, std::span<double>(whole)));
    const std::vector<std::size_t> lanes = {3, 1, 4, 1, 0};
    for (const auto& [start, stop] : {std::pair<std::size_t, std::size_t>{0, n}, {16000, 33000}, {39999, 40000},
                                      {7, 7}}) {
      std::vector<double> part(lanes.size() * (stop - start));
      ASSERT_TRUE(quorvel::decode_frame_part(frame, {lanes, start, stop}, std::span<double>(part), 2));
      for (std::size_t row = 0; row < lanes.size(); ++row) {
        for (std::size_t j = 0; j < stop - start; ++j) {
          const double want = whole[lanes[row] * n + start + j], got = part[row * (stop - start) + j];
          ASSERT_TRUE(got == want || (std::isnan(got) && std::isnan(want))) << row << " " << start + j;
        }
      }
    }
    std::vector<double> one(n);
    const std::vector<std::size_t> beyond = {5};
    EXPECT_EQ(quorvel::decode_frame_part(frame, {beyond, 0, n}, std::span<double>(one)).error().message(),
              "Lane 5 is out of range for a frame of 5 lanes");
    const std::vector<std::size_t> first = {0};
    EXPECT_EQ(quorvel::decode_frame_part(frame, {first, 10, n + 1}, std::span<double>(one)).error().message(),
              "Samples 10 to 40001 are not inside lanes of 40000");
    EXPECT_EQ(quorvel::decode_frame_part(frame, {first, 11, 10}, std::span<double>(one)).error().message(),
              "Samples 11 to 10 are not inside lanes of 40000");
    EXPECT_EQ(quorvel::decode_frame_part(frame, {first, 0, 10}, std::span<double>(one)).error().message(),
              "The frame holds 10 samples but the output has room for 40000");
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, JointFrame,
                         ::testing::Values(Case{quorvel::TargetKind::max_error, 0.01},
                                           Case{quorvel::TargetKind::rmse, 0.005},
                                           Case{quorvel::TargetKind::prd, 0.1}));

}  // namespace
