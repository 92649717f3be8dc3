// The coefficient streams against an independent NumPy transcription of the
// encoder (tools/make_codec_reference.py): bit for bit for cdf53, whose weights
// are powers of two; within float32 rounding for the other wavelets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "codec_test_support.hpp"

namespace {

using namespace codec_test;

struct ReferenceCase {
  std::uint32_t n;
  std::uint8_t scale, cutoff, levels;
  std::uint32_t minimum_bits, maximum_bits, mean_bits;
  std::vector<float> input;
  std::vector<std::int16_t> stream;
};

std::vector<ReferenceCase> load_cases() {
  std::ifstream file(QUORVEL_TEST_DATA_DIR "/codec_cdf53_reference.bin", std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::span<const std::uint8_t> b(bytes);
  std::vector<ReferenceCase> cases;
  std::size_t at = 0;
  while (at + 24 <= b.size()) {
    ReferenceCase c;
    c.n = get_u32(b, at);
    c.scale = b[at + 4];
    c.cutoff = b[at + 5];
    c.levels = b[at + 6];
    c.minimum_bits = get_u32(b, at + 8);
    c.maximum_bits = get_u32(b, at + 12);
    c.mean_bits = get_u32(b, at + 16);
    const std::uint32_t m = get_u32(b, at + 20);
    at += 24;
    for (std::uint32_t i = 0; i < c.n; ++i, at += 4) c.input.push_back(get_f32(b, at));
    c.stream = coefficients_of(b.subspan(at, 2 * std::size_t{m}));
    at += 2 * std::size_t{m};
    cases.push_back(std::move(c));
  }
  EXPECT_EQ(at, b.size()) << "reference file truncated";
  return cases;
}

TEST(CodecReference, Cdf53StreamMatchesTheNumPyTranscriptionBitForBit) {
  const auto cases = load_cases();
  ASSERT_EQ(cases.size(), 10u);
  for (const auto& c : cases) {
    SCOPED_TRACE("n " + std::to_string(c.n) + " scale " + std::to_string(c.scale) + " cutoff " +
                 std::to_string(c.cutoff));
    const quorvel::CompressionOptions options(quorvel::CompressionMethod::cdf53, c.scale,
                                              static_cast<quorvel::CutoffLevel>(c.cutoff));
    const auto container = quorvel::compress(c.input, options);
    ASSERT_TRUE(container.has_value()) << container.error().message();
    EXPECT_EQ((*container)[12], c.levels);
    EXPECT_EQ(get_u32(*container, 20), c.minimum_bits);
    EXPECT_EQ(get_u32(*container, 24), c.maximum_bits);
    EXPECT_EQ(get_u32(*container, 28), c.mean_bits);
    const auto stream = coefficients_of(inflated_payload(*container));
    ASSERT_EQ(stream.size(), c.stream.size());
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) mismatches += stream[i] != c.stream[i];
    EXPECT_EQ(mismatches, 0u);
  }
}

struct WaveletCase {
  std::uint32_t n;
  std::uint8_t method, scale, cutoff, levels;
  std::vector<float> input;
  std::vector<float> scaled;  // float64 coefficients times 2^scale
};

std::vector<WaveletCase> load_wavelet_cases() {
  std::ifstream file(QUORVEL_TEST_DATA_DIR "/codec_wavelets_reference.bin", std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::span<const std::uint8_t> b(bytes);
  std::vector<WaveletCase> cases;
  std::size_t at = 0;
  while (at + 12 <= b.size()) {
    WaveletCase c{get_u32(b, at), b[at + 4], b[at + 5], b[at + 6], b[at + 7], {}, {}};
    const std::uint32_t m = get_u32(b, at + 8);
    at += 12;
    for (std::uint32_t i = 0; i < c.n; ++i, at += 4) c.input.push_back(get_f32(b, at));
    for (std::uint32_t i = 0; i < m; ++i, at += 4) c.scaled.push_back(get_f32(b, at));
    cases.push_back(std::move(c));
  }
  EXPECT_EQ(at, b.size()) << "reference file truncated";
  return cases;
}

int clamp_truncate(double t) { return static_cast<int>(std::trunc(std::clamp(t, -32768.0, 32767.0))); }

TEST(CodecReference, OtherWaveletStreamsMatchAFloat64TranscriptionWithinRounding) {
  // The float32 transform differs from float64 by a few units in the last
  // place per operation: over 8 taps or 4 lifting steps and up to 8 levels,
  // well under 1e-5 of a coefficient's magnitude (at most 2^15 steps), plus
  // 1e-3 of a step near zero. A stored value may therefore sit on either side
  // of an integer boundary, and so of the dead-zone threshold, but nowhere else.
  const int base_threshold[] = {0, 0, 1, 1, 2, 2, 3};
  const auto cases = load_wavelet_cases();
  ASSERT_EQ(cases.size(), 9u);
  for (const auto& c : cases) {
    SCOPED_TRACE("method " + std::to_string(c.method) + " n " + std::to_string(c.n));
    const quorvel::CompressionOptions options(static_cast<quorvel::CompressionMethod>(c.method), c.scale,
                                              static_cast<quorvel::CutoffLevel>(c.cutoff));
    const auto container = quorvel::compress(c.input, options);
    ASSERT_TRUE(container.has_value()) << container.error().message();
    EXPECT_EQ((*container)[12], c.levels);
    const auto stream = coefficients_of(inflated_payload(*container));
    ASSERT_EQ(stream.size(), c.scaled.size());

    const int factor = c.cutoff == 0 ? 1 : c.cutoff == 1 ? 3 : 7;
    const int threshold = base_threshold[c.scale - 6] * factor;
    // The approximation band is the stream's head: the coarsest level's length.
    const auto approx_length = stream.size() - [&] {
      std::size_t n = std::max<std::size_t>(c.n, c.method == 1 ? 10 : 8), details = 0;
      for (int k = 0; k < c.levels; ++k) {
        const std::size_t a = c.method == 1 ? std::max<std::size_t>((n + 1) / 2, 2) : (n + 7) / 2;
        details += c.method == 1 ? std::max<std::size_t>(n / 2, 2) : a;
        n = a;
      }
      return details;
    }();
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) {
      const double t = c.scaled[i];
      const double tolerance = 1e-3 + 1e-5 * std::abs(t);
      const int low = clamp_truncate(t - tolerance), high = clamp_truncate(t + tolerance);
      const int got = stream[i];
      const bool detail = i >= approx_length;
      const bool quantised_ok = got >= low && got <= high;
      const bool dead_zoned_ok = detail && got == 0 && low < threshold && high > -threshold;
      const bool outside_dead_zone = !detail || got == 0 || std::abs(got) >= threshold;
      if (!(quantised_ok || dead_zoned_ok) || !outside_dead_zone) {
        if (++mismatches <= 5) ADD_FAILURE() << "coefficient " << i << ": " << got << " for " << t;
      }
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

}  // namespace
