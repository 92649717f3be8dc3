// The encoder: input checks, statistics, level plan, quantiser and dead-zone.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "codec_test_support.hpp"

namespace {

using quorvel::CompressionMethod;
using quorvel::CompressionOptions;
using quorvel::CutoffLevel;
using quorvel::QuorvelError;
using namespace codec_test;

TEST(Compress, RejectsEmptyAndOversizedInput) {
  EXPECT_EQ(quorvel::compress({}, cdf53_opts).error().message(),
            "Unsupported compression configuration 'Can't compress empty data'");
  // The size is checked before any sample is read, so a span that claims more
  // than it covers is safe here.
  const float one = 1.0f;
  const std::span<const float> huge(&one, std::size_t{2147483648});
  EXPECT_EQ(quorvel::compress(huge, cdf53_opts).error().message(),
            "Unsupported compression configuration 'Can't compress data bigger than 2147483647, but data was "
            "2147483648'");
}

TEST(Compress, WritesTheHeaderFieldsOfItsInput) {
  const auto x = wave(100);
  const auto c = compress_ok(x);
  ASSERT_GE(c.size(), 52u);
  const std::uint8_t head[] = {'Q', 'R', 'V', 'L', 1, 0, 'f', '3', 'c', 'f', '5', '3', 4, 11, 0, 0};
  EXPECT_TRUE(std::equal(std::begin(head), std::end(head), c.begin()));
  EXPECT_EQ(get_u32(c, 16), 100u);
  EXPECT_EQ(get_f32(c, 20), *std::min_element(x.begin(), x.end()));
  EXPECT_EQ(get_f32(c, 24), *std::max_element(x.begin(), x.end()));
  EXPECT_EQ(get_u32(c, 32), c.size() - 52);
  EXPECT_TRUE(std::all_of(c.begin() + 36, c.begin() + 52, [](auto b) { return b == 0; }));
  // 100 samples, 4 levels: 7 + 50 + 25 + 12 + 6 coefficients.
  EXPECT_EQ(inflated_payload(c).size(), 200u);
}

TEST(Compress, PlansLevelsByTheTableThenByTheFormula) {
  const struct {
    std::size_t n;
    std::uint8_t levels;
  } rows[] = {{1, 1}, {19, 1}, {20, 2}, {39, 2}, {40, 3}, {59, 3}, {60, 4}, {79, 4}, {80, 3}, {95, 3}, {96, 4}, {1535, 7}, {1536, 8}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.n);
    const auto c = compress_ok(wave(row.n));
    ASSERT_GE(c.size(), 52u);
    EXPECT_EQ(c[12], row.levels);
  }
}

TEST(ComputeMaxLevels, IsLog2OfTheFilterCountHeldToOneThroughEight) {
  const struct {
    std::size_t length, filter_length, levels;
  } rows[] = {{5, 6, 1},    {6, 6, 1},      {23, 6, 1},     {24, 6, 2},         {80, 6, 3},
              {96, 6, 4},   {1535, 6, 7},   {1536, 6, 8},   {10000000, 6, 8},   {2559, 10, 7},
              {2560, 10, 8}, {2047, 8, 7},  {2048, 8, 8},   {2147483647, 8, 8}, {0, 1, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.length) + " / " + std::to_string(row.filter_length));
    EXPECT_EQ(quorvel::compute_max_levels(row.length, row.filter_length), row.levels);
  }
}

TEST(Compress, ConstantSignalKeepsItsValueAsMinimumAndMaximum) {
  const std::vector<float> x(50, 3.5f);
  const auto c = compress_ok(x);
  EXPECT_EQ(get_f32(c, 20), 3.5f);
  EXPECT_EQ(get_f32(c, 24), 3.5f);
  EXPECT_EQ(get_u32(c, 28), 0u);  // mean +0.0
  for (auto v : coefficients_of(inflated_payload(c))) EXPECT_EQ(v, 0);
}

TEST(Compress, ReplacesNonFiniteSamplesBeforeTheStatistics) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> x = {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 0.5f};
  const auto c = compress_ok(x);
  EXPECT_EQ(get_f32(c, 20), 0.0f);
  EXPECT_EQ(get_f32(c, 24), 1.0f);
  // Sanitised 0, 1, 0, 0.5 normalise to themselves: mean 1.5 / 4.
  EXPECT_EQ(get_f32(c, 28), 0.375f);
}

TEST(Compress, RangeAtTheThresholdCountsAsConstant) {
  const float threshold = std::bit_cast<float>(0x3727C5ACu);
  const float above = std::nextafter(threshold, 1.0f);
  const auto at = compress_ok(std::vector<float>{0.0f, threshold, 0.0f, threshold});
  EXPECT_EQ(get_f32(at, 28), 0.0f);
  for (auto v : coefficients_of(inflated_payload(at))) EXPECT_EQ(v, 0);

  const auto over = compress_ok(std::vector<float>{0.0f, above, 0.0f, above});
  EXPECT_EQ(get_f32(over, 28), 0.5f);
  const auto coefficients = coefficients_of(inflated_payload(over));
  EXPECT_TRUE(std::any_of(coefficients.begin(), coefficients.end(), [](auto v) { return v != 0; }));
}

TEST(Compress, PadsASingleSampleToTheFilterLength) {
  const auto c = compress_ok(std::vector<float>{42.0f});
  EXPECT_EQ(c[12], 1);
  EXPECT_EQ(get_u32(c, 16), 1u);
  // Six copies of one value: one level of 3 + 3 coefficients, all zero.
  const auto coefficients = coefficients_of(inflated_payload(c));
  EXPECT_EQ(coefficients, std::vector<std::int16_t>(6, 0));
}

TEST(Compress, RefusesARangeThatOverflowsFloat) {
  // maximum - minimum = +inf: 1 / range would be 0 and (x - minimum) * 0 NaN.
  const float big = std::numeric_limits<float>::max();
  for (const auto& x : {std::vector<float>{3e38f, -3e38f, 0.0f}, std::vector<float>{big, -big},
                        std::vector<float>{-1.0f, big, std::numeric_limits<float>::lowest()}}) {
    const auto c = quorvel::compress(x, cdf53_opts);
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error().message(),
              "Unsupported compression configuration 'Can't compress data whose range (maximum - minimum) overflows "
              "32-bit floats'");
  }
  // The widest range that still fits is compressed and decodes.
  const std::vector<float> widest = {big, 0.0f, big / 2, 0.0f, big};
  const auto c = compress_ok(widest);
  const auto back = quorvel::decompress(c);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(back->size(), widest.size());
}

TEST(Compress, RejectsAHandMadeScaleOutsideTheThresholdTable) {
  for (std::uint8_t scale : {0, 5, 13, 255}) {
    const auto c = quorvel::compress(wave(10), CompressionOptions(CompressionMethod::cdf53, scale, CutoffLevel::low));
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error(), QuorvelError::unsupported_scale(scale));
  }
}

// serialise_coefficients on hand-made bands isolates the quantiser.
std::vector<std::int16_t> serialise(std::vector<float> approx, std::vector<float> details, std::uint8_t scale,
                                    CutoffLevel cutoff) {
  rimble::MultiDwt<float> bands;
  bands.levels.push_back({std::move(approx), std::move(details)});
  const auto stream = quorvel::encoder_stages::serialise_coefficients(bands, scale, cutoff);
  EXPECT_TRUE(stream.has_value());
  return coefficients_of(*stream);
}

TEST(Quantiser, ClampsThenTruncatesTowardZero) {
  const float q = 256.0f;  // scale 8
  const auto c = serialise({40000.0f / q, -40000.0f / q, 2.9f / q, -2.9f / q, 32767.5f / q, -32768.9f / q, 0.0f},
                           {0.0f}, 8, CutoffLevel::low);
  EXPECT_EQ(c, (std::vector<std::int16_t>{32767, -32768, 2, -2, 32767, -32768, 0, 0}));
}

TEST(Quantiser, NonFiniteCoefficientsNeverReachTheIntegerConversion) {
  const float inf = std::numeric_limits<float>::infinity();
  const auto c = serialise({std::numeric_limits<float>::quiet_NaN(), inf, -inf}, {0.0f}, 8, CutoffLevel::low);
  EXPECT_EQ(c, (std::vector<std::int16_t>{32767, 32767, -32768, 0}));
}

TEST(DeadZone, ZeroesDetailsBelowTheThresholdOnly) {
  // Scale 8, medium: threshold 3. The approximation band keeps everything.
  const std::vector<float> values = {-3, -2, -1, 0, 1, 2, 3, -32768};
  std::vector<float> scaled;
  for (float v : values) scaled.push_back(v / 256.0f);
  const auto c = serialise(scaled, scaled, 8, CutoffLevel::medium);
  EXPECT_EQ(std::vector<std::int16_t>(c.begin(), c.begin() + 8), (std::vector<std::int16_t>{-3, -2, -1, 0, 1, 2, 3, -32768}));
  EXPECT_EQ(std::vector<std::int16_t>(c.begin() + 8, c.end()), (std::vector<std::int16_t>{-3, 0, 0, 0, 0, 0, 3, -32768}));
}

TEST(DeadZone, ThresholdIsTheScaleBaseTimesOneThreeOrSeven) {
  const int base[] = {0, 0, 1, 1, 2, 2, 3};  // scales 6..12
  for (std::uint8_t scale = 6; scale <= 12; ++scale) {
    for (auto [cutoff, factor] : {std::pair{CutoffLevel::low, 1}, {CutoffLevel::medium, 3}, {CutoffLevel::high, 7}}) {
      SCOPED_TRACE("scale " + std::to_string(scale) + " factor " + std::to_string(factor));
      const float q = static_cast<float>(1 << scale);
      std::vector<float> details;
      for (int m = 0; m <= 30; ++m) details.push_back(-static_cast<float>(m) / q);
      const auto c = serialise({0.0f}, details, scale, cutoff);
      const int threshold = base[scale - 6] * factor;
      for (int m = 0; m <= 30; ++m) EXPECT_EQ(c[1 + m], m < threshold ? 0 : -m) << m;
    }
  }
  // Any cutoff code beyond medium acts as high.
  const CompressionOptions odd(0x0C0105u);
  EXPECT_EQ(static_cast<int>(odd.cutoff()), 5);
  EXPECT_EQ(serialise({0.0f}, {-20.0f / 4096}, 12, odd.cutoff())[1], 0);
  EXPECT_EQ(serialise({0.0f}, {-21.0f / 4096}, 12, odd.cutoff())[1], -21);
}

}  // namespace
