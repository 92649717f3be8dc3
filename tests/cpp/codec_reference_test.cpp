// The cdf53 coefficient stream against an independent NumPy float32
// transcription of the encoder (tools/make_codec_reference.py). Every CDF 5/3
// weight is a power of two, so the comparison is bit for bit.
#include <gtest/gtest.h>

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

}  // namespace
