// Version-2 encoder: targets met on every kind of signal, the same bytes for a decoded signal encoded again,
// exact samples below half a grid step and at max error 0, and damage that never decodes to wrong samples.
#include "codec/v2/encoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/v2/decoder.hpp"
#include "codec_test_support.hpp"

namespace {

using quorvel::Effort;
using quorvel::Target;
using quorvel::TargetKind;
namespace v2 = quorvel::v2;

constexpr Effort all_efforts[] = {Effort::fast, Effort::default_, Effort::best};

// Signals of every shape the encoder must survive, from a seed.
std::vector<float> signal(const std::string& kind, std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal;
  std::vector<float> x(n);
  double walk = 0;
  for (std::size_t i = 0; i < n; ++i) {
    walk += normal(random);
    if (kind == "walk") x[i] = static_cast<float>(walk);
    if (kind == "noise") x[i] = static_cast<float>(normal(random));
    if (kind == "runs") x[i] = static_cast<float>(std::floor(walk / 8) * 0.37);  // constant runs
    if (kind == "spikes") x[i] = random() % 97 == 0 ? static_cast<float>(1e4 * normal(random)) : 0.0f;
    if (kind == "tiny") x[i] = static_cast<float>(1e-30 * walk);
    if (kind == "huge") x[i] = static_cast<float>(1e30 * walk);
    if (kind == "magnitudes") {
      x[i] = static_cast<float>(std::pow(10.0, std::uniform_real_distribution<double>(-30, 30)(random)) *
                                (random() % 2 ? 1 : -1));
    }
    if (kind == "constant") x[i] = -2.75f;
    if (kind == "grid") x[i] = static_cast<float>(std::round(walk * 40) * 0.005);      // an ADC's 0.005 step
    if (kind == "pcm24") x[i] = static_cast<float>(std::round(walk * 1e4) * 0x1p-23);  // 24-bit audio
    if (kind == "oversampled")  // a band far below the sampling rate: the cell filter's ground
      x[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)) + 0.3 * std::sin(0.037 * static_cast<double>(i)) +
                                0.01 * normal(random));
  }
  return x;
}

const std::vector<std::string> kinds{"walk",     "noise", "runs",  "spikes", "tiny",       "huge",
                                     "magnitudes", "constant", "grid", "pcm24", "oversampled"};

double range_of(const std::vector<float>& x) {
  const auto [low, high] = std::minmax_element(x.begin(), x.end());
  return static_cast<double>(*high) - static_cast<double>(*low);
}

std::vector<Target> targets_for(const std::vector<float>& x) {
  const double r = std::max(range_of(x), 1e-30);
  const double n = static_cast<double>(x.size());
  return {{TargetKind::max_error, 1e-1 * r},
          {TargetKind::max_error, 1e-3 * r},
          {TargetKind::max_error, 1e-6 * r},
          {TargetKind::max_error, 0.0},
          {TargetKind::rmse, 1e-2 * r},
          {TargetKind::rmse, 1e-5 * r},
          {TargetKind::prd, 5.0},
          {TargetKind::prd, 0.01},
          {TargetKind::max_bytes, 2 * n + 200},
          {TargetKind::max_bytes, n + 100}};
}

std::string describe(const Target& t) {
  return "kind " + std::to_string(static_cast<int>(t.kind)) + " value " + std::to_string(t.value);
}

// Encodes, decodes and measures in the test; a container must meet its
// target, and only a byte budget may be out of reach of float32 input.
template <class T>
std::vector<std::uint8_t> expect_met(std::span<const T> x, Target target, Effort effort) {
  const auto container = v2::encode(x, target, {.effort = effort});
  if (!container) {
    EXPECT_EQ(target.kind, TargetKind::max_bytes) << container.error().message();
    EXPECT_EQ(container.error().kind(), quorvel::QuorvelError::Kind::Unreachable);
    if (container.error().best_reachable()) {
      EXPECT_GT(*container.error().best_reachable(), target.value);
    }
    return {};
  }
  const auto decoded = v2::decode(*container);
  EXPECT_TRUE(decoded) << decoded.error().message();
  if (!decoded) return {};
  EXPECT_EQ(decoded->size(), x.size());
  if (target.kind == TargetKind::max_bytes) {
    EXPECT_LE(static_cast<double>(container->size()), target.value);
  } else {
    EXPECT_LE(codec_test::figure_for(codec_test::figures(x, std::span<const float>(*decoded)), target.kind),
              target.value);
  }
  return *container;
}

TEST(V2Encoder, MeetsEveryTargetOnEveryKindOfSignal) {
  for (const std::string& kind : kinds) {
    for (const std::size_t n : {1, 2, 3, 255, 257, 5000}) {
      const auto x = signal(kind, n, static_cast<unsigned>(n));
      for (const Target& target : targets_for(x)) {
        for (const Effort effort : all_efforts) {
          SCOPED_TRACE(kind + " n " + std::to_string(n) + " " + describe(target) + " effort " +
                       std::to_string(static_cast<int>(effort)));
          expect_met(std::span<const float>(x), target, effort);
        }
      }
    }
  }
}

TEST(V2Encoder, MeetsTargetsOnLongSignalsOfManyBlocks) {
  for (const std::string& kind : {std::string("walk"), std::string("grid"), std::string("magnitudes")}) {
    const auto x = signal(kind, 1000000, 3);
    for (const Target& target : {targets_for(x)[1], targets_for(x)[4], targets_for(x)[3]}) {
      SCOPED_TRACE(kind + " " + describe(target));
      expect_met(std::span<const float>(x), target, Effort::default_);
    }
  }
}

// A long signal on an irregular subset of its grid: its sampled blocks already show the palette paying,
// so the default effort codes the ranks whole and keeps them (header bit 4), and a signal whose codes fill
// their span takes none.
TEST(V2Encoder, LongSignalsTakeAPaletteWhereItPays) {
  std::mt19937 random(11);
  std::vector<float> levels(4000);
  float level = 0;
  for (float& v : levels) v = level += static_cast<float>(1 + random() % 7);
  std::vector<float> sparse(300000), dense(sparse.size());
  std::size_t at = levels.size() / 2;
  for (std::size_t i = 0; i < sparse.size(); ++i) {
    at = std::clamp<std::size_t>(at + random() % 3, 1, levels.size()) - 1;
    sparse[i] = levels[at];
    dense[i] = static_cast<float>(at);
  }
  for (const auto& [x, palette] : {std::pair{&sparse, true}, std::pair{&dense, false}}) {
    const Target target{TargetKind::max_error, 0.4};
    const auto c = v2::encode(*x, target, {.effort = Effort::default_});
    ASSERT_TRUE(c) << c.error().message();
    EXPECT_EQ(((*c)[6] & 0x10) != 0, palette);
    const auto y = v2::decode(*c);
    ASSERT_TRUE(y);
    EXPECT_EQ(*y, *x);
    EXPECT_EQ(v2::encode(*y, target, {.effort = Effort::default_}), c);
  }
}

TEST(V2Encoder, EncodingTheDecodedSignalAgainGivesTheSameBytes) {
  for (const std::string& kind : kinds) {
    const auto x = signal(kind, 3000, 5);
    for (const Target& target : targets_for(x)) {
      for (const Effort effort : all_efforts) {
        SCOPED_TRACE(kind + " " + describe(target) + " effort " + std::to_string(static_cast<int>(effort)));
        const auto first = v2::encode(x, target, {.effort = effort});
        if (!first) continue;
        const auto y = v2::decode(*first).value();
        const auto second = v2::encode(y, target, {.effort = effort});
        ASSERT_TRUE(second) << second.error().message();
        EXPECT_TRUE(*first == *second);
        // The cell filter's or the lifted coding's samples are found back too (where the quantiser's
        // error, not the noise, is what the target allows).
        if (kind == "oversampled" && target.kind == TargetKind::rmse && target.value > 1e-3 * range_of(x) &&
            effort != Effort::fast) {
          EXPECT_TRUE(((*first)[6] & 0x80) != 0 || ((*first)[6] & 0x0F) == 4);
        }
      }
    }
  }
}

// The best effort never gives a larger container than the default one, nor a looser max error one larger
// than a tighter one's (within a few bytes of header fields: the grid's step may need 8 bytes rather than 4).
TEST(V2Encoder, BestIsNeverLargerThanDefaultNorALooserBoundThanATighterOne) {
  for (const std::string& kind : {std::string("walk"), std::string("grid"), std::string("oversampled")}) {
    const auto x = signal(kind, 20000, 11);
    const double r = range_of(x);
    std::size_t tighter = std::numeric_limits<std::size_t>::max() / 2;
    for (const double fraction : {1e-4, 3e-4, 1e-3, 3e-3, 1e-2, 3e-2}) {
      for (const Target target : {Target{TargetKind::max_error, fraction * r}, Target{TargetKind::rmse, fraction * r}}) {
        SCOPED_TRACE(kind + " " + describe(target));
        const auto plain = v2::encode(x, target);
        const auto best = v2::encode(x, target, {.effort = Effort::best});
        ASSERT_TRUE(plain && best);
        EXPECT_LE(best->size(), plain->size());
        if (target.kind == TargetKind::max_error) {
          EXPECT_LE(plain->size(), tighter + 8);
          tighter = plain->size();
        }
      }
    }
  }
}

// A rung's samples that also sit on a grid of their own as coarse as the loosest strict bound: the RMSE
// target finds them on the rung again, whose step (a float64) is not the float32 one detection would give.
TEST(V2Encoder, ARungsSamplesAreFoundOnTheRungAgain) {
  const std::vector<float> x{1.0e-30f, 2.0e-30f, 3.0e-30f, 5.3e-29f, 3.0e-30f, 6.0e-30f,
                             7.0e-30f, 8.0e-30f, 9.0e-30f, 1.0e-29f, 1.1e-29f};
  const Target target{TargetKind::rmse, 0.01 * range_of(x)};
  const auto c = v2::encode(x, target);
  ASSERT_TRUE(c) << c.error().message();
  EXPECT_EQ(v2::encode(v2::decode(*c).value(), target), c);
}

TEST(V2Encoder, NegativeZerosDoNotMoveTheGrid) {
  // -0 as the lowest sample or as a constant decodes to +0 (on a grid) or to
  // -0 (at max error 0): either way, encoding the result again is the same.
  for (const auto& x : {std::vector<float>{-0.0f, 1.0f, 2.5f, 0.25f}, std::vector<float>(50, -0.0f),
                        std::vector<float>{-0.0f, 0.0f, -0.0f}}) {
    for (const Target& target : {Target{TargetKind::max_error, 0.1}, Target{TargetKind::max_error, 0.0},
                                 Target{TargetKind::rmse, 0.1}, Target{TargetKind::max_bytes, 100}}) {
      SCOPED_TRACE(describe(target));
      const auto first = v2::encode(x, target).value();
      EXPECT_TRUE(first == v2::encode(v2::decode(first).value(), target).value());
    }
  }
}

TEST(V2Encoder, MaxErrorZeroGivesBackTheVeryBits) {
  std::vector<float> x{0.0f,
                       -0.0f,
                       1e-45f,
                       -1e-45f,
                       1.17549435e-38f,
                       std::numeric_limits<float>::max(),
                       -std::numeric_limits<float>::max(),
                       3.14159274f,
                       -0.0f,
                       1.0f};
  for (const auto& more :
       {signal("noise", 2000, 1), signal("grid", 2000, 2), signal("magnitudes", 2000, 3)}) {
    x.insert(x.end(), more.begin(), more.end());
    for (const Effort effort : all_efforts) {
      const auto container = v2::encode(x, {TargetKind::max_error, 0.0}, {.effort = effort});
      ASSERT_TRUE(container) << container.error().message();
      const auto y = v2::decode(*container).value();
      ASSERT_EQ(y.size(), x.size());
      for (std::size_t i = 0; i < x.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(y[i]), std::bit_cast<std::uint32_t>(x[i])) << i;
      }
    }
  }
}

TEST(V2Encoder, TargetsFinerThanHalfTheSignalsGridGiveBackItsSamples) {
  for (const auto& [file, step] : {std::pair{"ecg_mitbih208_360hz.npy", 0.005},
                                   std::pair{"speech_alsa_front_center_48k.npy", 1.0 / 32768},
                                   std::pair{"eeg_fp1_128hz.npy", 17422.0 / 65535.0}}) {
    const auto x = codec_test::load_npy(file);
    for (const Target target :
         {Target{TargetKind::max_error, 0.49 * step}, Target{TargetKind::rmse, 0.05 * step}}) {
      SCOPED_TRACE(std::string(file) + " " + describe(target));
      const auto container = v2::encode(x, target);
      ASSERT_TRUE(container) << container.error().message();
      EXPECT_EQ(v2::decode(*container).value(), x);
    }
  }
}

// Between half a step and a step of the signal's own grid, the bound allows every second grid point with
// the samples moved halfway between two: each decoded sample lies exactly half a step from its input, the
// container is smaller than the exact one, and the decoded signal encodes again to the same bytes. From
// 1.5 steps on, every fourth point.
TEST(V2Encoder, EvenMultiplesOfTheSignalsGridLieHalfwayBetweenItsPoints) {
  const auto x = codec_test::load_npy("ecg_mitbih208_360hz.npy");
  constexpr double step = 0.005;
  const auto exact = v2::encode(x, {TargetKind::max_error, 0.49 * step});
  ASSERT_TRUE(exact);
  for (const auto& [bound, most] : {std::pair{0.75, 0.5}, std::pair{1.7, 1.5}}) {
    const Target target{TargetKind::max_error, bound * step};
    SCOPED_TRACE(describe(target));
    const auto c = v2::encode(x, target);
    ASSERT_TRUE(c) << c.error().message();
    EXPECT_LT(c->size(), 0.9 * static_cast<double>(exact->size()));
    const auto y = v2::decode(*c).value();
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double moved = std::fabs(double{y[i]} - double{x[i]}) / step;
      ASSERT_LE(moved, most + 1e-4) << i;
      ASSERT_NEAR(moved - std::floor(moved), 0.5, 1e-4) << i;  // halfway between two grid points
    }
    EXPECT_EQ(v2::encode(y, target), c);
  }
}

// A smooth signal on a PCM grid, at a bound many grid steps wide: the scaled quantiser's samples leave
// the grid and code smaller than the grid's multiples.
TEST(V2Encoder, ASmoothSignalOnItsOwnGridTakesTheScaledCodingAtLooseBounds) {
  std::vector<float> x(40000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double t = static_cast<double>(i);
    x[i] = static_cast<float>(std::round(20000 * (std::sin(0.002 * t) + 0.3 * std::sin(0.0071 * t))) / 32768);
  }
  const Target bound{TargetKind::max_error, 0.01 * range_of(x)};
  const auto c = v2::encode(x, bound);
  ASSERT_TRUE(c) << c.error().message();
  EXPECT_TRUE(((*c)[6] & 0x0F) == 5 || ((*c)[6] & 0x0F) == 6);
  const auto y = v2::decode(*c).value();
  for (std::size_t i = 0; i < x.size(); ++i) ASSERT_LE(std::fabs(double{y[i]} - double{x[i]}), bound.value) << i;
  EXPECT_EQ(v2::encode(y, bound), c);
}

TEST(V2Encoder, Float64InputIsMeasuredAsGiven) {
  std::vector<double> x(4000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.01 * static_cast<double>(i)) + 1e-3 * (i % 7);
  double rounding = 0;
  for (const double v : x)
    rounding = std::max(rounding, std::fabs(static_cast<double>(static_cast<float>(v)) - v));
  // Below float32's own rounding of the samples nothing can reach.
  const auto exact = v2::encode(x, {TargetKind::max_error, 0.0});
  ASSERT_FALSE(exact);
  EXPECT_EQ(exact.error().kind(), quorvel::QuorvelError::Kind::Unreachable);
  EXPECT_EQ(*exact.error().best_reachable(), rounding);
  for (const Target target : {Target{TargetKind::max_error, rounding}, Target{TargetKind::max_error, 1e-4},
                              Target{TargetKind::rmse, 1e-5}, Target{TargetKind::prd, 0.1}}) {
    SCOPED_TRACE(describe(target));
    expect_met(std::span<const double>(x), target, Effort::default_);
  }
  // Float32 values given as float64 are kept bit for bit.
  std::vector<double> widened(x.size());
  std::transform(x.begin(), x.end(), widened.begin(), [](double v) { return double{static_cast<float>(v)}; });
  expect_met(std::span<const double>(widened), {TargetKind::max_error, 0.0}, Effort::default_);
}

TEST(V2Encoder, RangesAndThreadsDecodeTheSameSamples) {
  const auto x = signal("walk", 200000, 9);
  const auto container = v2::encode(x, {TargetKind::rmse, 0.05}, {.block_log2 = 12});
  ASSERT_TRUE(container);
  const auto whole = v2::decode(*container).value();
  EXPECT_EQ(v2::decode(*container, 2).value(), whole);
  EXPECT_TRUE(*container ==
              v2::encode(x, {TargetKind::rmse, 0.05}, {.threads = 2, .block_log2 = 12}).value());
  std::mt19937 random(4);
  for (int round = 0; round < 20; ++round) {
    std::size_t start = random() % x.size(), stop = random() % x.size();
    if (start > stop) std::swap(start, stop);
    const auto part = v2::decode(*container, start, stop, round % 2 + 1).value();
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + static_cast<std::ptrdiff_t>(start)));
    EXPECT_EQ(part.size(), stop - start);
  }
}

// Every prefix and every change of one byte is an error, or (where the CRC
// cannot see it: the padding, bytes after the container) a decode that still
// meets the target.
TEST(V2Encoder, DamagedContainersNeverDecodeToWrongSamples) {
  const auto walk = signal("walk", 700, 12);
  const auto membrane = codec_test::load_npy("mpl_membrane.npy");
  const std::vector<std::pair<std::vector<float>, Target>> cases{
      {walk, {TargetKind::max_error, 0.3}},                     // grid codes
      {walk, {TargetKind::rmse, 2.0}},                          // interpolation residuals, perhaps
      {signal("noise", 300, 2), {TargetKind::max_error, 0.0}},  // float ordinals
      {{membrane.begin(), membrane.begin() + 900}, {TargetKind::max_error, 0.0}},  // a palette
      {{0.0f, -0.0f, 1.0f}, {TargetKind::max_error, 0.0}},                         // corrections, padded
  };
  for (const auto& [x, target] : cases) {
    const auto container = v2::encode(x, target, {.block_log2 = 8}).value();
    const auto meets = [&, &x = x, &target = target](const std::vector<std::uint8_t>& bytes) {
      const auto y = v2::decode(bytes);
      if (!y) return true;
      return y->size() == x.size() && codec_test::figure_for(codec_test::figures(std::span<const float>(x),
                                                                                 std::span<const float>(*y)),
                                                             target.kind) <= target.value;
    };
    for (std::size_t length = 0; length < container.size(); ++length) {
      EXPECT_TRUE(meets({container.begin(), container.begin() + static_cast<std::ptrdiff_t>(length)}))
          << length;
    }
    for (std::size_t at = 0; at < container.size(); ++at) {
      for (const std::uint8_t flip : {0x01, 0x80, 0xFF}) {
        auto damaged = container;
        damaged[at] ^= flip;
        EXPECT_TRUE(meets(damaged)) << at;
      }
    }
  }
}

TEST(V2Encoder, RefusesWhatItCannotEncode) {
  const auto message = [](auto x, Target target) {
    const auto c = v2::encode(x, target);
    return c ? std::string("encoded") : c.error().message();
  };
  EXPECT_EQ(message(std::vector<float>{}, {TargetKind::max_error, 1}), "Can't compress empty data");
  EXPECT_EQ(message(std::vector<float>{1, NAN}, {TargetKind::max_error, 1}),
            "Sample 1 is NaN: only finite samples can be encoded to an error target");
  EXPECT_EQ(message(std::vector<double>{1e39}, {TargetKind::max_error, 1}),
            "Samples reach 1e+39, beyond the largest float32 the decoder can return");
  EXPECT_EQ(message(std::vector<float>{1}, {TargetKind::rmse, -1}),
            "Target must be a finite number >= 0, but it was -1");
  const auto small = v2::encode(signal("noise", 1000, 1), {TargetKind::max_bytes, 20});
  ASSERT_FALSE(small);
  const double smallest = small.error().best_reachable().value();
  EXPECT_GE(smallest, 52);
  EXPECT_EQ(small.error().message(),
            "Can't fit this signal in 20 bytes: ask for " + codec_test::figure_text(smallest) + " bytes or more");
}

}  // namespace
