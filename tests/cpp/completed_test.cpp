// CompletedDwtExecutor: the multi-level driver over an 8-tap Daubechies bank.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "filter_bank_fixtures.hpp"
#include "rimble/rimble.hpp"

namespace {

using rimble::BorderMode;
using rimble::CompletedDwtExecutor;

std::shared_ptr<const CompletedDwtExecutor<float>> db4(BorderMode mode = BorderMode::Periodic) {
  auto inner = std::make_shared<const rimble::Wavelet8Taps<float>>(mode, fixtures::to_float(fixtures::kDb4));
  return std::make_shared<const CompletedDwtExecutor<float>>(inner, inner->filter_length());
}

rimble::MultiDwtView<float> view_of(const rimble::MultiDwt<float>& result) {
  rimble::MultiDwtView<float> view{result.levels.back().approximations, {}};
  for (const auto& level : result.levels) view.details.emplace_back(level.details);
  return view;
}

// 100 samples, L = 8: level inputs 100, 53, 30, 18, 12, 9, 8 and then 7.
TEST(CompletedDwtExecutor, SevenLevelsFitAHundredSamplesAndEightDoNot) {
  const auto executor = db4();
  const auto x = fixtures::random_signal(100, 100);
  const auto seven = executor->multi_dwt(x, 7);
  ASSERT_TRUE(seven.has_value()) << seven.error().message();
  const std::size_t band_lengths[] = {53, 30, 18, 12, 9, 8, 7};
  ASSERT_EQ(seven->levels.size(), 7u);
  for (std::size_t k = 0; k < 7; ++k) {
    EXPECT_EQ(seven->levels[k].approximations.size(), band_lengths[k]);
    EXPECT_EQ(seven->levels[k].details.size(), band_lengths[k]);
  }
  const auto eight = executor->multi_dwt(x, 8);
  ASSERT_FALSE(eight.has_value());
  EXPECT_EQ(eight.error().message(), "Buffer was too small for provided level");
  EXPECT_EQ(executor->dwt(x, 8).error(), rimble::RimbleError::buffer_too_small_for_level());
}

// Each multi-level entry is the single-level transform of the previous
// entry's approximation band.
TEST(CompletedDwtExecutor, EachLevelDecomposesThePreviousApproximation) {
  const auto executor = db4(BorderMode::Symmetric);
  const auto x = fixtures::random_signal(77, 77);
  const auto result = executor->multi_dwt(x, 4);
  ASSERT_TRUE(result.has_value());
  std::vector<float> input = x;
  for (const auto& level : result->levels) {
    const auto single = executor->dwt(input, 1);
    ASSERT_TRUE(single.has_value());
    EXPECT_EQ(single->approximations, level.approximations);
    EXPECT_EQ(single->details, level.details);
    input = level.approximations;
  }
}

// Reconstruction lengths 8, 10 -> 9, 12, 18, 30, 54 -> 53 and 100 are checked
// through a wrapping inner executor that records every inverse call.
class RecordingExecutor final : public rimble::IncompleteDwtExecutor<float> {
 public:
  explicit RecordingExecutor(std::shared_ptr<const rimble::IncompleteDwtExecutor<float>> inner)
      : inner_(std::move(inner)) {}
  rimble::Result<void> execute_forward(std::span<const float> i, std::span<float> a,
                                       std::span<float> d) const override {
    return inner_->execute_forward(i, a, d);
  }
  rimble::Result<void> execute_forward_with_scratch(std::span<const float> i, std::span<float> a, std::span<float> d,
                                                    std::span<float> s) const override {
    return inner_->execute_forward_with_scratch(i, a, d, s);
  }
  std::size_t required_scratch_size(std::size_t n) const override { return inner_->required_scratch_size(n); }
  rimble::BandLengths dwt_size(std::size_t n) const override { return inner_->dwt_size(n); }
  rimble::Result<void> execute_inverse(std::span<const float> a, std::span<const float> d,
                                       std::span<float> o) const override {
    inputs.push_back(a.size());
    outputs.push_back(o.size());
    return inner_->execute_inverse(a, d, o);
  }
  std::size_t idwt_size(rimble::BandLengths lengths) const override { return inner_->idwt_size(lengths); }
  std::size_t filter_length() const override { return inner_->filter_length(); }

  mutable std::vector<std::size_t> inputs;  // test-only record, single-threaded use
  mutable std::vector<std::size_t> outputs;

 private:
  std::shared_ptr<const rimble::IncompleteDwtExecutor<float>> inner_;
};

TEST(CompletedDwtExecutor, MultiIdwtCutsEachReconstructionToTheNextBand) {
  auto recorder = std::make_shared<RecordingExecutor>(
      std::make_shared<const rimble::Wavelet8Taps<float>>(BorderMode::Periodic, fixtures::to_float(fixtures::kDb4)));
  const CompletedDwtExecutor<float> executor(recorder, 8);
  const auto x = fixtures::random_signal(100, 5);
  const auto result = executor.multi_dwt(x, 7);
  ASSERT_TRUE(result.has_value());
  const auto back = executor.multi_idwt(view_of(*result));
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(recorder->inputs, (std::vector<std::size_t>{7, 8, 9, 12, 18, 30, 53}));
  EXPECT_EQ(recorder->outputs, (std::vector<std::size_t>{8, 10, 12, 18, 30, 54, 100}));
  ASSERT_EQ(back->size(), 100u);
}

// Tolerance: seven levels of db4 analysis and synthesis each add a few float32
// roundings of values of the signal's size; 1e-5 of the signal's peak is an
// order of magnitude above what they can reach.
TEST(CompletedDwtExecutor, MultiLevelRoundTripsReturnTheSignal) {
  for (const auto& row : {fixtures::kDb4, fixtures::kSym4}) {
    for (const BorderMode mode : fixtures::kAllModes) {
      auto inner = std::make_shared<const rimble::WaveletNTaps<float>>(mode, fixtures::to_float(row));
      const CompletedDwtExecutor<float> executor(inner, 8);
      for (const std::size_t n : {8u, 31u, 100u, 257u, 1000u}) {
        SCOPED_TRACE(std::string(fixtures::mode_name(mode)) + " n=" + std::to_string(n));
        const auto x = fixtures::random_signal(n, static_cast<std::uint32_t>(n), 50.0f);
        std::size_t levels = 1;
        for (std::size_t m = n; m >= 8 && levels < 10; ++levels) m = (m + 7) / 2;
        const auto result = executor.multi_dwt(x, levels - 1);
        ASSERT_TRUE(result.has_value()) << result.error().message();
        const auto back = executor.multi_idwt(view_of(*result));
        ASSERT_TRUE(back.has_value()) << back.error().message();
        ASSERT_GE(back->size(), n);
        for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR((*back)[i], x[i], 1e-5 * 50.0) << i;
      }
    }
  }
}

TEST(CompletedDwtExecutor, OddSignalOverOneLevelComesBackOneLonger) {
  const auto executor = db4();
  const auto x = fixtures::random_signal(101, 1);
  const auto result = executor->multi_dwt(x, 1);
  ASSERT_TRUE(result.has_value());
  ASSERT_EQ(result->levels.size(), 1u);
  EXPECT_EQ(result->levels[0].approximations.size(), 54u);
  const auto back = executor->multi_idwt(view_of(*result));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->size(), 102u);
}

TEST(CompletedDwtExecutor, LevelZeroActsAsLevelOne) {
  const auto executor = db4();
  const auto x = fixtures::random_signal(40, 2);
  const auto zero = executor->multi_dwt(x, 0);
  const auto one = executor->multi_dwt(x, 1);
  ASSERT_TRUE(zero && one);
  ASSERT_EQ(zero->levels.size(), 1u);
  EXPECT_EQ(zero->levels[0].approximations, one->levels[0].approximations);
  EXPECT_EQ(zero->levels[0].details, one->levels[0].details);
  const auto dwt_zero = executor->dwt(x, 0);
  ASSERT_TRUE(dwt_zero.has_value());
  EXPECT_EQ(dwt_zero->details, one->levels[0].details);
}

// A 5-sample signal passes the driver at one level and fails on the inner
// executor's check; from two levels on the driver refuses it first.
TEST(CompletedDwtExecutor, ShortSignalFailsWhereTheLevelCountSays) {
  const auto executor = db4();
  const auto x = fixtures::random_signal(5, 3);
  for (const std::size_t level : {0u, 1u}) {
    EXPECT_EQ(executor->multi_dwt(x, level).error().message(), "Input size 5 can't be less than 8");
    EXPECT_EQ(executor->dwt(x, level).error().message(), "Input size 5 can't be less than 8");
  }
  EXPECT_EQ(executor->multi_dwt(x, 2).error().message(), "Buffer was too small for provided level");
  EXPECT_EQ(executor->dwt(x, 2).error().message(), "Buffer was too small for provided level");
}

TEST(CompletedDwtExecutor, DwtReturnsTheLastLevelOfMultiDwt) {
  const auto executor = db4(BorderMode::Zeros);
  const auto x = fixtures::random_signal(90, 4);
  const auto last = executor->dwt(x, 3);
  const auto all = executor->multi_dwt(x, 3);
  ASSERT_TRUE(last && all);
  EXPECT_EQ(last->approximations, all->levels[2].approximations);
  EXPECT_EQ(last->details, all->levels[2].details);
}

TEST(CompletedDwtExecutor, InverseErrorsCarryTheirLengths) {
  const auto executor = db4();
  const std::vector<float> five(5, 1.0f), four(4, 1.0f), nine(9, 1.0f);
  EXPECT_EQ(executor->idwt({five, four}).error().message(), "Approx and details must match, but they don't 5x4");
  EXPECT_EQ(executor->multi_idwt({five, {}}).error().message(), "Zero sized input is not supported");
  EXPECT_EQ(executor->multi_idwt({{}, {four}}).error().message(), "Zero sized input is not supported");
  // Coarsest bands of 5 rebuild 4 samples, fewer than the finer band of 9.
  EXPECT_EQ(executor->multi_idwt({five, {nine, five}}).error().message(),
            "Approx and details must match, but they don't 4x9");
}

// Bands of m samples rebuild 2m - L + 2 samples: below (L - 2) / 2 there is
// nothing to rebuild, and the inverse says how long the bands must be instead
// of trying to allocate a wrapped size. At (L - 2) / 2 the result is empty.
TEST(CompletedDwtExecutor, BandsTooShortForTheFilterAreASizeMismatch) {
  struct Case {
    const char* name;
    std::shared_ptr<const rimble::DwtExecutor<float>> executor;
  };
  const Case cases[] = {
      {"db4", rimble::Rimble::make_daubechies_f32(rimble::DaubechiesFamily::Db4, BorderMode::Periodic)},
      {"db8", rimble::Rimble::make_daubechies_f32(rimble::DaubechiesFamily::Db8, BorderMode::Symmetric)},
      {"sym20", rimble::Rimble::make_symlet_f32(rimble::SymletFamily::Sym20, BorderMode::Zeros)},
  };
  for (const Case& c : cases) {
    const std::size_t shortest = (c.executor->filter_length() - 2) / 2;
    SCOPED_TRACE(std::string(c.name) + ", shortest bands " + std::to_string(shortest));
    for (const std::size_t m : {std::size_t{0}, std::size_t{1}, shortest - 1}) {
      const std::vector<float> band(m, 1.0f);
      const std::string expected =
          "Approximate size " + std::to_string(m) + " does not match required size " + std::to_string(shortest);
      const auto single = c.executor->idwt({band, band});
      ASSERT_FALSE(single.has_value());
      EXPECT_EQ(single.error().message(), expected);
      if (m == 0) continue;  // multi_idwt reports empty bands as ZeroSizedInput before this
      const auto multi = c.executor->multi_idwt({band, {band}});
      ASSERT_FALSE(multi.has_value());
      EXPECT_EQ(multi.error().message(), expected);
    }
    const std::vector<float> band(shortest, 1.0f);
    const auto empty = c.executor->idwt({band, band});
    ASSERT_TRUE(empty.has_value()) << empty.error().message();
    EXPECT_TRUE(empty->empty());
  }
}

TEST(CompletedDwtExecutor, ForwardsSingleLevelOperations) {
  const auto executor = db4();
  EXPECT_EQ(executor->filter_length(), 8u);
  EXPECT_EQ(executor->dwt_size(100), (rimble::BandLengths{53, 53}));
  EXPECT_EQ(executor->idwt_size({53, 53}), 100u);
  EXPECT_EQ(executor->required_scratch_size(100), 0u);
  std::vector<float> approx(6), details(7);
  EXPECT_EQ(executor->execute_forward(fixtures::random_signal(12, 1), approx, details).error().message(),
            "Approximation and details expected to be half of original signal length but it was 6");
}

}  // namespace
