// Single-level filter banks: the generic executor, its fixed-length twins,
// sizes, checks, messages and reconstruction.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "filter_bank_fixtures.hpp"
#include "rimble/rimble.hpp"

namespace {

using rimble::BorderMode;
using rimble::RimbleError;
using rimble::WaveletNTaps;

template <std::size_t L>
std::array<float, L> random_filter(std::uint32_t seed) {
  const auto taps = fixtures::random_signal(L, seed);
  std::array<float, L> out{};
  std::copy(taps.begin(), taps.end(), out.begin());
  return out;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

struct Bands {
  std::vector<float> approx;
  std::vector<float> details;
};

template <class Executor>
Bands forward(const Executor& executor, const std::vector<float>& x) {
  const auto lengths = executor.dwt_size(x.size());
  Bands bands{std::vector<float>(lengths.approx_length), std::vector<float>(lengths.details_length)};
  const auto done = executor.execute_forward(x, bands.approx, bands.details);
  EXPECT_TRUE(done.has_value()) << (done ? "" : done.error().message());
  return bands;
}

template <class Executor>
std::vector<float> inverse(const Executor& executor, const Bands& bands, float fill = 0.0f) {
  std::vector<float> out(executor.idwt_size({bands.approx.size(), bands.details.size()}), fill);
  const auto done = executor.execute_inverse(bands.approx, bands.details, out);
  EXPECT_TRUE(done.has_value()) << (done ? "" : done.error().message());
  return out;
}

// The fixed-length executor of L taps against the generic one with the same
// (random) filter: forward and inverse agree bit for bit in every mode.
template <std::size_t L>
void expect_fixed_equals_generic() {
  const auto low = random_filter<L>(L);
  std::vector<std::size_t> lengths;
  for (std::size_t n = L; n <= L + 40; ++n) lengths.push_back(n);
  for (const std::size_t n : {1001u, 1024u, 4095u, 4096u}) lengths.push_back(n);
  for (const BorderMode mode : fixtures::kAllModes) {
    const rimble::WaveletFixedTaps<float, L> fixed(mode, low);
    const WaveletNTaps<float> generic(mode, low);
    for (const std::size_t n : lengths) {
      SCOPED_TRACE("L=" + std::to_string(L) + " n=" + std::to_string(n) + " " + fixtures::mode_name(mode));
      const auto x = fixtures::random_signal(n, static_cast<std::uint32_t>(n * 31 + L));
      const Bands want = forward(generic, x);
      const Bands got = forward(fixed, x);
      ASSERT_TRUE(same_bits(got.approx, want.approx));
      ASSERT_TRUE(same_bits(got.details, want.details));
      // Inverse of unrelated bands, added onto a non-zero output.
      const Bands bands{fixtures::random_signal(want.approx.size(), 3 * static_cast<std::uint32_t>(n)),
                        fixtures::random_signal(want.approx.size(), 5 * static_cast<std::uint32_t>(n))};
      ASSERT_TRUE(same_bits(inverse(fixed, bands, 0.25f), inverse(generic, bands, 0.25f)));
    }
  }
}

TEST(WaveletFixedTaps, EqualsWaveletNTapsBitForBitInEveryMode) {
  [&]<std::size_t... L>(std::index_sequence<L...>) { (expect_fixed_equals_generic<L>(), ...); }(
      std::index_sequence<2, 4, 6, 8, 10, 12, 16>{});
}

// The defining sums written out plainly, rounding step by step as the
// executors must: forward sums from +0 in increasing tap order over the
// extended signal; the inverse adds pair after pair, high-pass product first.
std::vector<float> plain_forward(const std::vector<float>& x, const std::vector<float>& filter, BorderMode mode) {
  const std::size_t L = filter.size();
  const rimble::BorderInterpolation border(mode, 0, static_cast<std::int64_t>(x.size()));
  std::vector<float> out((x.size() + L - 1) / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    float sum = 0.0f;
    for (std::size_t j = 0; j < L; ++j) {
      const float product = filter[j] * border.sample<float>(x, static_cast<std::int64_t>(2 * i + j) - (L - 2));
      sum = sum + product;
    }
    out[i] = sum;
  }
  return out;
}

std::vector<float> plain_inverse(const Bands& bands, const std::vector<float>& low, const std::vector<float>& high,
                                 float fill) {
  const std::size_t L = low.size();
  const std::size_t m = bands.approx.size();
  std::vector<float> out(2 * m + 2 - L, fill);
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t k = 0; k < L; ++k) {
      const std::ptrdiff_t t = static_cast<std::ptrdiff_t>(2 * j + k) - static_cast<std::ptrdiff_t>(L - 2);
      if (t < 0 || t >= static_cast<std::ptrdiff_t>(out.size())) continue;
      const float high_part = high[k] * bands.details[j] + out[t];
      out[t] = low[k] * bands.approx[j] + high_part;
    }
  }
  return out;
}

TEST(WaveletNTaps, ResultsEqualThePlainSumsBitForBit) {
  for (const std::size_t L : {2u, 4u, 8u, 14u, 16u, 22u}) {
    const auto low = fixtures::random_signal(L, static_cast<std::uint32_t>(L));
    const auto high = rimble::util::low_pass_to_high<float>(low);
    for (const BorderMode mode : fixtures::kAllModes) {
      const WaveletNTaps<float> generic(mode, low);
      for (const std::size_t n : {L, L + 1, L + 2, 3 * L + 1, 200 + L}) {
        SCOPED_TRACE("L=" + std::to_string(L) + " n=" + std::to_string(n) + " " + fixtures::mode_name(mode));
        const auto x = fixtures::random_signal(n, static_cast<std::uint32_t>(n + 7));
        const Bands got = forward(generic, x);
        EXPECT_TRUE(same_bits(got.approx, plain_forward(x, low, mode)));
        EXPECT_TRUE(same_bits(got.details, plain_forward(x, high, mode)));
        EXPECT_TRUE(same_bits(inverse(generic, got, -0.5f), plain_inverse(got, low, high, -0.5f)));
      }
    }
  }
}

TEST(WaveletFixedTaps, NamedTypesHaveTheirLength) {
  EXPECT_EQ(rimble::Wavelet2Taps<float>(BorderMode::Periodic, {1, 1}).filter_length(), 2u);
  EXPECT_EQ(rimble::Wavelet4Taps<float>(BorderMode::Periodic, {}).filter_length(), 4u);
  EXPECT_EQ(rimble::Wavelet6Taps<float>(BorderMode::Periodic, {}).filter_length(), 6u);
  EXPECT_EQ(rimble::Wavelet8Taps<float>(BorderMode::Periodic, {}).filter_length(), 8u);
  EXPECT_EQ(rimble::Wavelet10Taps<float>(BorderMode::Periodic, {}).filter_length(), 10u);
  EXPECT_EQ(rimble::Wavelet12Taps<float>(BorderMode::Periodic, {}).filter_length(), 12u);
  EXPECT_EQ(rimble::Wavelet16Taps<float>(BorderMode::Periodic, {}).filter_length(), 16u);
}

TEST(LowPassToHigh, ReversesAndNegatesOddPositions) {
  const std::vector<float> low = {1.5f, -2.0f, 3.25f, 4.0f};
  EXPECT_EQ(rimble::util::low_pass_to_high<float>(low), (std::vector<float>{4.0f, -3.25f, -2.0f, -1.5f}));
  EXPECT_TRUE(rimble::util::low_pass_to_high<float>({}).empty());
  const std::array<float, 2> haar = {0.5f, 0.25f};
  EXPECT_EQ(rimble::util::low_pass_to_high(haar), (std::array<float, 2>{0.25f, -0.5f}));
}

TEST(WaveletNTaps, DerivesTheHighPassFilterFromTheLowPass) {
  const auto db4 = fixtures::to_float(fixtures::kDb4);
  const WaveletNTaps<float> generic(BorderMode::Periodic, db4);
  const rimble::Wavelet8Taps<float> fixed(BorderMode::Periodic, db4);
  ASSERT_EQ(generic.high().size(), 8u);
  EXPECT_EQ(generic.high()[0], static_cast<float>(-0.010597401785069032));
  EXPECT_EQ(generic.high()[1], -static_cast<float>(0.0328830116668852));
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(generic.high()[i], fixed.high()[i]);
}

TEST(WaveletNTaps, SizesFollowTheFilterLength) {
  const WaveletNTaps<float> generic(BorderMode::Periodic, fixtures::to_float(fixtures::kDb4));
  const rimble::Wavelet8Taps<float> fixed(BorderMode::Periodic, fixtures::to_float(fixtures::kDb4));
  EXPECT_EQ(generic.filter_length(), 8u);
  EXPECT_EQ(generic.dwt_size(8), (rimble::BandLengths{7, 7}));
  EXPECT_EQ(generic.dwt_size(9), (rimble::BandLengths{8, 8}));
  EXPECT_EQ(generic.dwt_size(100), (rimble::BandLengths{53, 53}));
  EXPECT_EQ(generic.required_scratch_size(8), 20u);  // 3L - 4
  EXPECT_EQ(generic.required_scratch_size(9), 22u);
  EXPECT_EQ(fixed.required_scratch_size(9), 0u);
  EXPECT_EQ(generic.idwt_size({53, 53}), 100u);
  EXPECT_EQ(generic.idwt_size({8, 0}), 10u);  // the detail length is not used
  EXPECT_EQ(generic.idwt_size({2, 2}), SIZE_MAX - 1);  // wraps: 4 - 6
  const rimble::Wavelet2Taps<float> haar(BorderMode::Periodic, {0.5f, 0.5f});
  EXPECT_EQ(haar.idwt_size({5, 5}), 10u);
  EXPECT_EQ(haar.dwt_size(3), (rimble::BandLengths{2, 2}));
}

// The arena of an odd signal of 9 samples for 8 taps: 6 extension samples on
// the left, 7 on the right, in a scratch of 22; samples beyond are untouched.
TEST(WaveletNTaps, OddSignalArenaHasOneMoreSampleOnTheRight) {
  const WaveletNTaps<float> generic(BorderMode::Periodic, fixtures::to_float(fixtures::kDb4));
  std::vector<float> x(9);
  for (std::size_t i = 0; i < 9; ++i) x[i] = static_cast<float>(i);
  std::vector<float> approx(8), details(8), scratch(25, -7.0f);
  ASSERT_TRUE(generic.execute_forward_with_scratch(x, approx, details, scratch).has_value());
  const std::vector<float> want = {3, 4, 5, 6, 7, 8, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 1, 2, 3, 4, 5, 6, -7, -7, -7};
  EXPECT_EQ(scratch, want);
}

// n = L: L - 1 outputs of each kind from an arena of 3L - 4 samples, L - 2
// extension samples on each side.
TEST(WaveletNTaps, SignalOfFilterLengthGivesLMinusOneOutputs) {
  const WaveletNTaps<float> generic(BorderMode::Clamp, fixtures::to_float(fixtures::kDb4));
  const std::vector<float> x = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(generic.required_scratch_size(8), 20u);
  std::vector<float> approx(7), details(7), scratch(20);
  ASSERT_TRUE(generic.execute_forward_with_scratch(x, approx, details, scratch).has_value());
  EXPECT_EQ(scratch, (std::vector<float>{1, 1, 1, 1, 1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 8, 8, 8, 8, 8, 8}));
}

// Through a 14-tap arena (12 samples on each side of an even signal): the
// mirror of Reflect skips the edge sample, that of Symmetric repeats it.
TEST(WaveletNTaps, FourteenTapArenaMirrorsAtBothEnds) {
  const auto low = fixtures::random_signal(14, 14);
  std::vector<float> x(20);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i);
  for (const auto& [mode, before, after] : {std::tuple{BorderMode::Reflect, 1.0f, 18.0f},
                                            std::tuple{BorderMode::Symmetric, 0.0f, 19.0f}}) {
    SCOPED_TRACE(fixtures::mode_name(mode));
    const WaveletNTaps<float> generic(mode, low);
    std::vector<float> approx(16), details(16), scratch(generic.required_scratch_size(20));
    ASSERT_EQ(scratch.size(), 44u);
    ASSERT_TRUE(generic.execute_forward_with_scratch(x, approx, details, scratch).has_value());
    EXPECT_EQ(scratch[11], before);  // x[-1]
    EXPECT_EQ(scratch[32], after);   // x[n]
    EXPECT_EQ(scratch[0], mode == BorderMode::Reflect ? 12.0f : 11.0f);  // x[-12]
  }
}

// Every check, in order, with the values it carries; a failed call writes
// nothing.
TEST(WaveletNTaps, RejectsWrongSizesWithExactMessagesAndWritesNothing) {
  const auto db4 = fixtures::to_float(fixtures::kDb4);
  const WaveletNTaps<float> generic(BorderMode::Periodic, db4);
  const rimble::Wavelet8Taps<float> fixed(BorderMode::Periodic, db4);
  const auto x9 = fixtures::random_signal(9, 2);
  const auto x7 = fixtures::random_signal(7, 3);
  struct Row {
    const char* what;
    const std::vector<float>* input;
    std::size_t approx, details, scratch;
    const char* message;
    bool generic_only;
  };
  const Row rows[] = {
      {"input one short of L", &x7, 3, 3, 100, "Input size 7 can't be less than 8", false},
      {"short input checked before bands", &x7, 0, 0, 0, "Input size 7 can't be less than 8", false},
      {"approximation too short", &x9, 7, 8, 22,
       "Approximation and details expected to be half of original signal length but it was 7", false},
      {"approximation too long, details wrong too", &x9, 9, 3, 22,
       "Approximation and details expected to be half of original signal length but it was 9", false},
      {"details one short", &x9, 8, 7, 22,
       "Approximation and details expected to be half of original signal length but it was 7", false},
      {"scratch one short", &x9, 8, 8, 21, "Scratch size expected to be 22 but it was 21", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<float> approx(row.approx, 5.0f), details(row.details, 5.0f), scratch(row.scratch, 5.0f);
    const auto got = generic.execute_forward_with_scratch(*row.input, approx, details, scratch);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().message(), row.message);
    for (const auto* band : {&approx, &details, &scratch}) {
      for (const float v : *band) EXPECT_EQ(v, 5.0f);
    }
    if (!row.generic_only) {
      const auto fixed_got = fixed.execute_forward(*row.input, approx, details);
      ASSERT_FALSE(fixed_got.has_value());
      EXPECT_EQ(fixed_got.error().message(), row.message);
      const auto plain_got = generic.execute_forward(*row.input, approx, details);
      ASSERT_FALSE(plain_got.has_value());
      EXPECT_EQ(plain_got.error().message(), row.message);
    }
  }
}

TEST(WaveletNTaps, InverseRejectsWrongSizesWithExactMessages) {
  const auto db4 = fixtures::to_float(fixtures::kDb4);
  const WaveletNTaps<float> generic(BorderMode::Periodic, db4);
  const rimble::Wavelet8Taps<float> fixed(BorderMode::Periodic, db4);
  const struct {
    std::size_t approx, details, output;
    const char* message;
  } rows[] = {
      {5, 4, 4, "Approx and details must match, but they don't 5x4"},
      {5, 4, 7, "Approx and details must match, but they don't 5x4"},
      {7, 7, 7, "Output size should be 8, but it was 7"},
      {7, 7, 9, "Output size should be 8, but it was 9"},
      // Bands shorter than L/2 - 1 wrap the required size; no output fits.
      {2, 2, 0, "Output size should be 18446744073709551614, but it was 0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    const std::vector<float> approx(row.approx, 1.0f), details(row.details, 1.0f);
    std::vector<float> output(row.output, 3.0f);
    for (const rimble::IncompleteDwtExecutor<float>* executor :
         {static_cast<const rimble::IncompleteDwtExecutor<float>*>(&generic),
          static_cast<const rimble::IncompleteDwtExecutor<float>*>(&fixed)}) {
      const auto got = executor->execute_inverse(approx, details, output);
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().message(), row.message);
      for (const float v : output) EXPECT_EQ(v, 3.0f);
    }
  }
}

TEST(WaveletNTaps, BandsOfHalfTheFilterMinusOneReconstructNothing) {
  const WaveletNTaps<float> generic(BorderMode::Periodic, fixtures::to_float(fixtures::kDb4));
  const std::vector<float> bands(3, 1.0f);
  std::vector<float> output;
  EXPECT_TRUE(generic.execute_inverse(bands, bands, output).has_value());
}

TEST(WaveletNTaps, InverseAddsIntoTheOutput) {
  const auto db4 = fixtures::to_float(fixtures::kDb4);
  const WaveletNTaps<float> generic(BorderMode::Periodic, db4);
  const Bands bands = forward(generic, fixtures::random_signal(20, 4));
  const auto from_zero = inverse(generic, bands, 0.0f);
  const auto from_hundred = inverse(generic, bands, 100.0f);
  for (std::size_t i = 0; i < from_zero.size(); ++i) EXPECT_NEAR(from_hundred[i] - 100.0f, from_zero[i], 2e-5f);
}

// For odd n = 3 the last window of the Haar bank pairs x[2] with the border
// sample x[3]: x[0] when periodic, 0 with zeros.
TEST(Wavelet2Taps, OddSignalPairsTheLastSampleWithTheBorder) {
  const rimble::Wavelet2Taps<float> periodic(BorderMode::Periodic, {0.5f, 0.25f});
  const rimble::Wavelet2Taps<float> zeros(BorderMode::Zeros, {0.5f, 0.25f});
  const std::vector<float> x = {2.0f, 4.0f, 8.0f};
  const Bands p = forward(periodic, x);
  EXPECT_EQ(p.approx, (std::vector<float>{0.5f * 2 + 0.25f * 4, 0.5f * 8 + 0.25f * 2}));
  EXPECT_EQ(p.details, (std::vector<float>{0.25f * 2 - 0.5f * 4, 0.25f * 8 - 0.5f * 2}));
  const Bands z = forward(zeros, x);
  EXPECT_EQ(z.approx, (std::vector<float>{2.0f, 4.0f}));
  EXPECT_EQ(z.details, (std::vector<float>{-1.5f, 2.0f}));
}

// With the orthonormal db4 and sym4 rows the inverse of a forward step gives
// the signal back in every mode; odd signals come back with one extra sample.
// Tolerance: each output is a sum of about 8 + 8 products of float32 values
// of size ~1, so a few units of 2^-24 relative; 1e-5 absolute is generous.
TEST(WaveletNTaps, ForwardThenInverseReturnsTheSignal) {
  for (const auto& row : {fixtures::kDb4, fixtures::kSym4}) {
    const auto low = fixtures::to_float(row);
    for (const BorderMode mode : fixtures::kAllModes) {
      const WaveletNTaps<float> generic(mode, low);
      for (const std::size_t n : {8u, 9u, 10u, 33u, 64u, 101u}) {
        SCOPED_TRACE(std::string(fixtures::mode_name(mode)) + " n=" + std::to_string(n));
        const auto x = fixtures::random_signal(n, static_cast<std::uint32_t>(n));
        const auto back = inverse(generic, forward(generic, x));
        ASSERT_EQ(back.size(), n + n % 2);
        for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(back[i], x[i], 1e-5f);
      }
    }
  }
}

TEST(WaveletNTaps, AnyEvenLengthAboveSixteenWorks) {
  const auto low = fixtures::random_signal(22, 9);
  const WaveletNTaps<float> generic(BorderMode::Reflect, low);
  EXPECT_EQ(generic.filter_length(), 22u);
  const Bands bands = forward(generic, fixtures::random_signal(22, 10));
  EXPECT_EQ(bands.approx.size(), 21u);
}

TEST(WaveletNTapsDeathTest, OddOrEmptyFiltersEndTheProcess) {
  const std::vector<float> three(3, 1.0f);
  EXPECT_DEATH(WaveletNTaps<float>(BorderMode::Periodic, three), "even number of taps");
  EXPECT_DEATH(WaveletNTaps<float>(BorderMode::Periodic, {}), "even number of taps");
}

}  // namespace
