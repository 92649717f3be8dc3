// multi_idwt_quantised against its definition: dequantise every band, run
// multi_idwt, map every sample. Lengths cross the strip size so that strips,
// their margins and the last strip's remainder all occur; every executor the
// factory builds on this run's processor tier takes part.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "rimble/rimble.hpp"
#include "rimble/strip_inverse.hpp"

namespace {

using rimble::BorderMode;
using rimble::Rimble;

struct Case {
  std::string name;
  std::shared_ptr<const rimble::DwtExecutor<float>> executor;
};

std::vector<Case> executors() {
  return {
      {"cdf53", Rimble::make_cdf53_f32()},
      {"cdf97", Rimble::make_cdf97_f32()},
      {"db4 periodic", Rimble::make_daubechies_f32(rimble::DaubechiesFamily::Db4, BorderMode::Periodic)},
      {"sym4 periodic", Rimble::make_symlet_f32(rimble::SymletFamily::Sym4, BorderMode::Periodic)},
      {"db1 zeros", Rimble::make_daubechies_f32(rimble::DaubechiesFamily::Db1, BorderMode::Zeros)},
      {"sym7 symmetric (n taps)", Rimble::make_symlet_f32(rimble::SymletFamily::Sym7, BorderMode::Symmetric)},
      {"db8 clamp", Rimble::make_daubechies_f32(rimble::DaubechiesFamily::Db8, BorderMode::Clamp)},
  };
}

// Quantised bands of `levels` levels for a signal of n samples, sized as the
// executor's own forward transform sizes them.
struct Bands {
  std::vector<std::int16_t> approximations;
  std::vector<std::vector<std::int16_t>> details;

  rimble::QuantisedMultiDwtView<float> view(float step) const {
    rimble::QuantisedMultiDwtView<float> v{approximations, {}, step};
    for (const auto& band : details) v.details.push_back(band);
    return v;
  }
};

Bands random_bands(const rimble::DwtExecutor<float>& executor, std::size_t n, std::size_t levels,
                   std::mt19937& random) {
  std::uniform_int_distribution<int> value(-3000, 3000);
  const auto band = [&](std::size_t length) {
    std::vector<std::int16_t> b(length);
    for (auto& c : b) c = static_cast<std::int16_t>(value(random));
    return b;
  };
  Bands bands;
  for (std::size_t k = 0; k < levels; ++k) {
    const auto lengths = executor.dwt_size(n);
    bands.details.push_back(band(lengths.details_length));
    n = lengths.approx_length;
  }
  bands.approximations = band(n);
  return bands;
}

// Every band widened, the executor's own multi_idwt, the map on every sample.
std::vector<float> reference(const rimble::DwtExecutor<float>& executor, const Bands& bands, float step,
                             rimble::OutputMap<float> map) {
  const auto widened = [step](const std::vector<std::int16_t>& band) {
    std::vector<float> values;
    for (const std::int16_t c : band) values.push_back(static_cast<float>(c) * step);
    return values;
  };
  const std::vector<float> approximations = widened(bands.approximations);
  std::vector<std::vector<float>> details;
  rimble::MultiDwtView<float> view{approximations, {}};
  for (const auto& band : bands.details) details.push_back(widened(band));
  for (const auto& band : details) view.details.push_back(band);
  auto result = executor.multi_idwt(view);
  EXPECT_TRUE(result.has_value());
  std::vector<float> out = result.value_or(std::vector<float>{});
  for (float& y : out) y = map(y);
  return out;
}

TEST(MultiIdwtQuantised, EqualsDequantisedMultiIdwtThenTheMap) {
  std::mt19937 random(208);
  const float step = std::ldexp(1.0f, -11);
  const rimble::OutputMap<float> map{0.0371f, 3.25f, -1.5f};
  for (const auto& c : executors()) {
    const std::size_t k = rimble::strips::kStripPairs;
    for (const std::size_t n : {std::size_t{60}, std::size_t{1001}, 2 * k, 2 * k + 1, 4 * k - 3, 6 * k + 77, std::size_t{20011}}) {
      for (const std::size_t levels : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{6}}) {
        if ((n >> levels) < 8) continue;  // more levels than the signal has room for
        const Bands bands = random_bands(*c.executor, n, levels, random);
        const std::vector<float> expected = reference(*c.executor, bands, step, map);
        // Written into memory that holds garbage, as a decoder's fresh block may.
        std::vector<float> got(expected.size(), std::numeric_limits<float>::quiet_NaN());
        const auto done = c.executor->multi_idwt_quantised(bands.view(step), map, got);
        ASSERT_TRUE(done.has_value()) << c.name << " n=" << n;
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) mismatches += got[i] == expected[i] ? 0 : 1;
        EXPECT_EQ(mismatches, 0u) << c.name << " n=" << n << " levels=" << levels;
      }
    }
  }
}

// Levels of a few coefficient pairs, as deep levels of short signals have:
// around a vector register of pairs the kernels change, and the fused one must
// change where the plain one does.
TEST(MultiIdwtQuantised, ShortLevelsEqualTheDefinitionToo) {
  std::mt19937 random(11);
  const float step = std::ldexp(1.0f, -9);
  const rimble::OutputMap<float> map{0.25f, 1.5f, 3.0f};
  for (const auto& c : executors()) {
    for (std::size_t n = 2; n <= 80; ++n) {
      for (const std::size_t levels : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
        const Bands bands = random_bands(*c.executor, n, levels, random);
        // Band sizes that multi_idwt itself refuses are another test's matter.
        const std::vector<float> zeros(2 * n + 64, 0.0f);
        rimble::MultiDwtView<float> shapes{std::span(zeros).first(bands.approximations.size()), {}};
        for (const auto& band : bands.details) shapes.details.push_back(std::span(zeros).first(band.size()));
        if (!c.executor->multi_idwt(shapes)) continue;
        const std::vector<float> expected = reference(*c.executor, bands, step, map);
        std::vector<float> got(expected.size(), std::numeric_limits<float>::quiet_NaN());
        ASSERT_TRUE(c.executor->multi_idwt_quantised(bands.view(step), map, got)) << c.name << " n=" << n;
        EXPECT_EQ(got, expected) << c.name << " n=" << n << " levels=" << levels;
      }
    }
  }
}

TEST(MultiIdwtQuantised, BandsThatDoNotFitFailAsMultiIdwtDoes) {
  std::mt19937 random(7);
  for (const auto& c : executors()) {
    Bands bands = random_bands(*c.executor, 500, 3, random);
    bands.approximations.pop_back();  // the coarsest level no longer matches its details
    const auto view = bands.view(1.0f);
    rimble::MultiDwtView<float> floats;
    std::vector<float> approximations(bands.approximations.begin(), bands.approximations.end());
    std::vector<std::vector<float>> details;
    for (const auto& band : bands.details) details.emplace_back(band.begin(), band.end());
    floats.approximations = approximations;
    for (const auto& band : details) floats.details.push_back(band);

    std::vector<float> output(600);
    const auto expected = c.executor->multi_idwt(floats);
    const auto got = c.executor->multi_idwt_quantised(view, {}, output);
    ASSERT_FALSE(expected.has_value()) << c.name;
    ASSERT_FALSE(got.has_value()) << c.name;
    EXPECT_EQ(got.error().message(), expected.error().message()) << c.name;

    rimble::QuantisedMultiDwtView<float> empty{view.approximations, {}, 1.0f};
    EXPECT_EQ(c.executor->multi_idwt_quantised(empty, {}, output).error(), rimble::RimbleError::zero_sized_input())
        << c.name;
  }
}

TEST(MultiIdwtQuantised, AnOutputOfAnotherLengthIsRefused) {
  std::mt19937 random(11);
  for (const auto& c : executors()) {
    const Bands bands = random_bands(*c.executor, 3000, 2, random);
    const std::size_t length = reference(*c.executor, bands, 1.0f, {}).size();
    for (const std::size_t wrong : {length - 1, length + 1}) {
      std::vector<float> output(wrong);
      EXPECT_EQ(c.executor->multi_idwt_quantised(bands.view(1.0f), {}, output).error(),
                rimble::RimbleError::output_size_mismatch(length, wrong))
          << c.name << " " << wrong;
    }
  }
}

}  // namespace
