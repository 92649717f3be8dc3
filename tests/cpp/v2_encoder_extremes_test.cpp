// The version-2 encoder on inputs at the ends of what a user can pass: zero and subnormal signals,
// float64 samples far apart within one float32, ladders asked for rungs beyond their ends. Under the
// sanitizers these once converted infinities and out-of-range doubles to integers.
#include "codec/v2/quantiser.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "tests/fuzz/properties.hpp"

namespace {

using quorvel::Effort;
using quorvel::Target;
using quorvel::TargetKind;

TEST(RungLadder, StepsBeyondItsEndsTakeTheEndRungs) {
  using quorvel::highest_rung, quorvel::lowest_rung, quorvel::rung_at_most, quorvel::rung_step;
  constexpr double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(rung_at_most(0.0), lowest_rung);
  EXPECT_EQ(rung_at_most(-0.0), lowest_rung);
  EXPECT_EQ(rung_at_most(std::nan("")), lowest_rung);
  EXPECT_EQ(rung_at_most(0x1p-1074), lowest_rung);
  EXPECT_EQ(rung_at_most(inf), highest_rung);
  EXPECT_EQ(rung_at_most(1e300), highest_rung);
  // Rungs in float32's subnormal range share steps; the normal ones each have their own.
  for (const int k : {-126 * 16 + 1, -17, 0, 1, 31, highest_rung - 1, highest_rung}) {
    EXPECT_EQ(rung_at_most(rung_step(k)), k);
    if (k > lowest_rung) {
      EXPECT_EQ(rung_at_most(std::nextafter(rung_step(k), 0.0)), k - 1);
    }
  }
}

template <class T>
std::vector<std::uint8_t> input(Target target, Effort effort, unsigned block_log2, std::vector<T> x) {
  std::vector<std::uint8_t> raw(x.size() * sizeof(T));
  if (!x.empty()) std::memcpy(raw.data(), x.data(), raw.size());
  return quorvel::fuzz::v2_encoder_input(target, sizeof(T) == 8, effort, block_log2, raw);
}

// Each either refuses with a text or gives a container that decodes to a signal meeting the target.
TEST(V2EncoderExtremes, ZeroTinyAndSplitSignalsEncodeOrRefuseCleanly) {
  const std::vector<std::vector<std::uint8_t>> inputs = {
      // A zero signal under a PRD: an RMSE target of 0, the rung of step 0.
      input(Target{TargetKind::prd, 1e-6}, Effort::best, 14, std::vector<float>{0.0f}),
      input(Target{TargetKind::rmse, 0.0}, Effort::best, 8, std::vector<float>{0.0f, 0.0f, 0.0f}),
      // A budget too small for a constant signal's container: the rung window of a zero range.
      input(Target{TargetKind::max_bytes, 41}, Effort::default_, 14, std::vector<float>{0x1p-80f}),
      input(Target{TargetKind::max_bytes, 41}, Effort::best, 8, std::vector<float>{0x1p-149f}),
      // Float64 samples one float32 holds: a budget trial on the finest rung codes 1.37e12 steps away.
      input(Target{TargetKind::max_bytes, 41}, Effort::default_, 14, std::vector<double>{1.0, 1.0 + 0x1p-40}),
      input(Target{TargetKind::max_bytes, 30}, Effort::best, 10, std::vector<double>{-3.0, -3.0 - 0x1p-30, -3.0}),
      input(Target{TargetKind::rmse, 1e-30}, Effort::best, 8, std::vector<double>{1.0, 1.0 + 0x1p-40}),
      input(Target{TargetKind::prd, 1e-20}, Effort::best, 8, std::vector<double>{1e30, 1e30 * (1 + 0x1p-40)}),
      // The largest finite magnitudes, and the smallest next to them.
      input(Target{TargetKind::prd, 1e-6}, Effort::best, 8, std::vector<float>{3.4e38f, 0x1p-149f, -3.4e38f}),
      input(Target{TargetKind::max_bytes, 45}, Effort::best, 8, std::vector<float>{3.4e38f, 0x1p-149f, 0.0f}),
  };
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    const char* broken = quorvel::fuzz::v2_encoder_property(inputs[i]);
    EXPECT_EQ(broken, nullptr) << broken;
  }
}

}  // namespace
