// The decoder: check order, payload handling, hostile containers, round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <sys/resource.h>

#include <random>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "codec/v1/wavelet.hpp"
#include "codec_test_support.hpp"

namespace {

using quorvel::CompressionMethod;
using quorvel::CompressionOptions;
using quorvel::CutoffLevel;
using namespace codec_test;

// Peak resident memory of the process so far, in bytes. A buffer sized from a
// hostile header is zero-filled when created, so it would show up here.
std::size_t peak_resident_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}
constexpr std::size_t tolerated_growth = std::size_t{32} << 20;

std::string error_of(std::span<const std::uint8_t> container) {
  const auto r = quorvel::decompress(container);
  return r ? "decoded " + std::to_string(r->size()) + " samples" : r.error().message();
}

const std::string reason = "Can't decompress data, reason: ";

TEST(Decompress, RoundTripKeepsTheSampleCountAndTheShape) {
  for (std::size_t n : {1, 2, 3, 5, 6, 7, 19, 20, 33, 80, 100, 101, 1000, 1537}) {
    SCOPED_TRACE(n);
    const auto x = wave(n);
    const auto back = quorvel::decompress(compress_ok(x));
    ASSERT_TRUE(back.has_value()) << back.error().message();
    ASSERT_EQ(back->size(), n);
    // Scale 11 steps are 2^-11 of the range (about 6); a few steps of error
    // per level bound the reconstruction well below 0.05.
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR((*back)[i], x[i], 0.05f) << i;
  }
}

TEST(Decompress, EveryMethodReturnsExactlyTheStoredSampleCount) {
  // Filter banks return one sample more for odd inputs, short signals are
  // padded to the filter length: the decoder cuts both back.
  for (const auto& [method, tag, name, wavelet] : quorvel::method_rows) {
    for (std::size_t n : {1, 3, 4, 5, 7, 8, 9, 10, 11, 21, 63, 80, 99, 2049, 2561}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(method)) + " n " + std::to_string(n));
      const auto x = wave(n);
      const auto back = quorvel::decompress(compress_ok(x, CompressionOptions(method, 12, CutoffLevel::low)));
      ASSERT_TRUE(back.has_value()) << back.error().message();
      ASSERT_EQ(back->size(), n);
      // Scale 12 and a range of about 6: steps of 1.5e-3, a few per level.
      float worst = 0.0f;
      for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, std::abs((*back)[i] - x[i]));
      EXPECT_LT(worst, 0.05f);
    }
  }
}

TEST(Decompress, ConstantSignalRoundTripsExactly) {
  const std::vector<float> x(77, -2.75f);
  const auto back = quorvel::decompress(compress_ok(x));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, x);
}

TEST(Decompress, IgnoresBytesAfterThePayload) {
  auto c = compress_ok(wave(300));
  const auto plain = quorvel::decompress(c);
  c.insert(c.end(), {0xFF, 0x00, 0x13, 0x37});
  EXPECT_EQ(quorvel::decompress(c), plain);
}

TEST(Decompress, ChecksTheHeaderFieldsInOrder) {
  const auto payload = zero_payload(6);
  const auto container = [&](HandHeader h) { return hand_container(h, payload); };
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::string text;
  } rows[] = {
      {"count above 2^31 - 1 before levels", container({.levels = 0, .sample_count = 2147483648u}),
       reason + "Can't decompress data bigger than 2147483647, but data was 2147483648"},
      {"11 levels", container({.levels = 11}), reason + "Max supported level is 10 but it was 11"},
      {"0 levels", container({.levels = 0}), reason + "Min supported level is 1 but it was 0"},
      {"scale 13, intact payload", container({.scale = 13}), reason + "Supported scales only [6, 12] but it was 13"},
      {"scale 5", container({.scale = 5}), reason + "Supported scales only [6, 12] but it was 5"},
      {"scale 13, corrupt payload", hand_container({.scale = 13}, std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF}),
       reason + "corrupt deflate stream"},
      {"scale 13, payload cut short of its length", hand_container({.scale = 13}, payload, 1000),
       reason + "Minimum data size is 1052, but it was " + std::to_string(52 + payload.size())},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(error_of(row.bytes), row.text);
  }
}

TEST(Decompress, ContainerCutInsideThePayloadNamesTheMissingLength) {
  const auto c = compress_ok(wave(500));
  const std::uint32_t payload_length = get_u32(c, 32);
  const std::vector<std::uint8_t> cut(c.begin(), c.end() - 1);
  EXPECT_EQ(error_of(cut), reason + "Minimum data size is " + std::to_string(52 + payload_length) + ", but it was " +
                               std::to_string(c.size() - 1));
}

TEST(Decompress, AcceptsNineAndTenLevels) {
  // 3000 samples with cdf53: level inputs 3000, 1500, ..., 6, 3 down to 2 keep
  // every band at least (2, 1), so nine and ten levels have well-defined sizes.
  for (std::uint8_t levels : {9, 10}) {
    SCOPED_TRACE(levels);
    std::size_t n = 3000, total = 0;
    for (int k = 0; k < levels; ++k) {
      total += std::max<std::size_t>(n / 2, 1);
      n = std::max<std::size_t>((n + 1) / 2, 2);
    }
    total += n;
    const auto back = quorvel::decompress(
        hand_container({.levels = levels, .sample_count = 3000, .minimum = 1.0f, .maximum = 1.0f}, zero_payload(total)));
    ASSERT_TRUE(back.has_value()) << back.error().message();
    EXPECT_EQ(*back, std::vector<float>(3000, 1.0f));
  }
}

TEST(Decompress, RejectsACoefficientStreamShorterThanTheBands) {
  // 100 samples over 4 levels need 100 coefficients.
  const HandHeader h{.levels = 4, .sample_count = 100};
  EXPECT_EQ(error_of(hand_container(h, zero_payload(100))), "decoded 100 samples");
  EXPECT_EQ(error_of(hand_container(h, zero_payload(99))),
            reason + "Coefficient stream is too short: the bands need 100 coefficients but the payload holds 99");
  // A last odd byte is no coefficient.
  EXPECT_EQ(error_of(hand_container(h, deflate_raw(std::vector<std::uint8_t>(199, 0)))),
            reason + "Coefficient stream is too short: the bands need 100 coefficients but the payload holds 99");
  // A DEFLATE stream cut in the middle (its length field cut with it) yields
  // the bytes decoded so far, which are too few.
  std::vector<std::uint8_t> ramp(200);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i * 7);
  const auto payload = deflate_raw(ramp, 0);  // stored block: every byte counts
  const std::vector<std::uint8_t> half(payload.begin(), payload.begin() + 105);
  const std::string text = error_of(hand_container(h, half));
  EXPECT_EQ(text.rfind(reason + "Coefficient stream is too short: the bands need 100 coefficients but the payload holds ", 0), 0u) << text;
  // Longer streams are read up to the bands and no further.
  EXPECT_EQ(error_of(hand_container(h, zero_payload(5000))), "decoded 100 samples");
}

TEST(Decompress, HostileSampleCountCostsNoMemory) {
  // 60 bytes claiming 2^31 - 1 samples: the bands would need 4 GiB of stream.
  const auto payload = zero_payload(4);
  const auto c = hand_container({.levels = 8, .sample_count = 2147483647u}, payload);
  ASSERT_LT(c.size(), 64u);
  const std::size_t before = peak_resident_bytes();
  const std::string text = error_of(c);
  EXPECT_LT(peak_resident_bytes() - before, tolerated_growth);
  EXPECT_EQ(text.rfind(reason + "Coefficient stream is too short", 0), 0u) << text;
}

TEST(Decompress, DeflateBombInflatesOnlyWhatTheBandsNeed) {
  // 128 MiB of zeros in a payload of well under 1 MiB; the header's bands need
  // 2000 bytes of it.
  const auto bomb = deflate_zeros(std::size_t{128} << 20, 1);
  const auto c = hand_container({.levels = 4, .sample_count = 1000, .minimum = 2.0f, .maximum = 2.0f}, bomb);
  const std::size_t before = peak_resident_bytes();
  const auto back = quorvel::decompress(c);
  EXPECT_LT(peak_resident_bytes() - before, tolerated_growth);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(*back, std::vector<float>(1000, 2.0f));
}

// The decoder reuses its thread's working memory: a short decode leaves a
// small block behind, and a later claim far beyond what its payload can
// deliver must neither inflate into that block nor trust its size.
TEST(Decompress, ReusedWorkingMemoryNeverOutgrowsItsLease) {
  ASSERT_TRUE(quorvel::decompress(compress_ok(wave(40))).has_value());
  const auto bomb = deflate_zeros(std::size_t{1} << 20, 1);
  const auto claim = hand_container({.levels = 8, .sample_count = 2147483647u}, bomb);
  EXPECT_NE(error_of(claim).find("Coefficient stream is too short"), std::string::npos) << error_of(claim);
  const auto back = quorvel::decompress(compress_ok(wave(300)));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->size(), 300u);
}

TEST(Decompress, EveryPrefixOfAContainerFailsCleanly) {
  const auto c = compress_ok(wave(200));
  for (std::size_t n = 0; n < c.size(); ++n) {
    const std::string text = error_of(std::span(c).first(n));
    if (n < 52) {
      EXPECT_EQ(text, "Header is invalid") << n;
    } else {
      EXPECT_EQ(text, reason + "Minimum data size is " + std::to_string(c.size()) + ", but it was " + std::to_string(n))
          << n;
    }
  }
}

TEST(Decompress, RandomByteFlipsEndInAnErrorOrTheStoredLength) {
  const auto c = compress_ok(wave(300));
  std::mt19937 rng(20261208);
  std::size_t decoded = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    auto bad = c;
    const int flips = 1 + trial % 3;
    for (int k = 0; k < flips; ++k) {
      // Half of the flips land in the header, where every field is exercised.
      const std::size_t at = trial % 2 ? rng() % 52 : rng() % bad.size();
      bad[at] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    }
    const auto r = quorvel::decompress(bad);
    if (r) {
      ++decoded;
      EXPECT_EQ(r->size(), get_u32(bad, 16));
    }
  }
  EXPECT_GT(decoded, 0u);
}

TEST(Decompress, SignalsNearTheFloatLimitDecodeToFiniteSamplesNearTheirInput) {
  // A fuzz finding: the range (3.4e38) fits in a float, but (y + mean) * range
  // overflowed for the samples near 0 and came back as infinity.
  const std::vector<float> x = {-2.6344411e-43f, 1.4989849e-36f, -3.3961773e+38f};
  const auto decoded = quorvel::decompress(compress_ok(x, CompressionOptions(CompressionMethod::cdf97, 6, CutoffLevel::low)));
  ASSERT_TRUE(decoded) << decoded.error().message();
  ASSERT_EQ(decoded->size(), x.size());
  // Scale 6 quantises the normalised signal in steps of 1/64; one inverse level
  // keeps the error within a few steps, so 5% of the range bounds it.
  const float tolerance = 0.05f * 3.3961773e+38f;
  for (std::size_t i = 0; i < x.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(std::isfinite((*decoded)[i]));
    EXPECT_NEAR((*decoded)[i], x[i], tolerance);
  }
}

TEST(Decompress, AHeaderWhoseRangeOverflowsStillDecodesToFiniteSamples) {
  // Minimum and maximum are each finite, as the parser demands, but their
  // difference is not; the encoder never writes such a header.
  std::vector<std::uint8_t> stream;
  for (int i = 0; i < 6; ++i) {
    const auto c = static_cast<std::uint16_t>(i % 2 ? 2000 : -2000);  // +-0.98 at scale 11
    stream.push_back(static_cast<std::uint8_t>(c));
    stream.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  const auto container =
      hand_container({.scale = 11, .minimum = -3e38f, .maximum = 3e38f, .mean = 0.5f}, deflate_raw(stream));
  const auto decoded = quorvel::decompress(container);
  ASSERT_TRUE(decoded) << decoded.error().message();
  for (const float y : *decoded) EXPECT_TRUE(std::isfinite(y)) << y;
}


namespace dequantisation {

// The decoder widens the coefficients in place when libdeflate inflates the
// whole stream in one shot (into the upper half of the float array), and from
// a separate buffer when zlib does (here: a stream longer than the bands, which
// the one-shot call refuses). Both must give exactly what the element-by-element
// rule gives: c * 2^-scale, through the executor's inverse, de-normalised with
// minimum 0, maximum 1 and mean 0, which leaves every sample unchanged.
std::vector<std::int16_t> edge_coefficients(std::size_t count, std::uint32_t seed) {
  const std::int16_t edges[] = {-32768, 32767, -32767, -1, 0, 1, 2, -2, 255, -256, 256, 4096, -4096};
  std::mt19937 rng(seed);
  std::vector<std::int16_t> c(count);
  for (std::size_t i = 0; i < count; ++i) {
    c[i] = i % 3 == 0 ? edges[rng() % std::size(edges)] : static_cast<std::int16_t>(rng());
  }
  return c;
}

std::vector<float> expected_signal(std::span<const std::int16_t> c, std::size_t sample_count, std::uint8_t scale) {
  const auto executor = quorvel::method_executor(CompressionMethod::cdf53);
  const auto lengths = executor->dwt_size(std::max<std::size_t>(sample_count, executor->filter_length()));
  std::vector<float> values(c.size());
  for (std::size_t i = 0; i < c.size(); ++i) values[i] = static_cast<float>(c[i]) * std::ldexp(1.0f, -scale);
  const std::span<const float> all(values);
  rimble::MultiDwtView<float> view;
  view.approximations = all.first(lengths.approx_length);
  view.details.push_back(all.subspan(lengths.approx_length, lengths.details_length));
  auto signal = executor->multi_idwt(view).value();
  signal.resize(sample_count, 0.0f);
  return signal;
}

std::vector<std::uint8_t> little_endian(std::span<const std::int16_t> c) {
  std::vector<std::uint8_t> bytes;
  for (const std::int16_t v : c) {
    bytes.push_back(static_cast<std::uint8_t>(v));
    bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
  }
  return bytes;
}

TEST(Dequantisation, InPlaceAndSeparateWideningBothEqualTheElementRule) {
  // Counts around every remainder of the eight-coefficient blocks, short and long.
  for (const std::uint32_t n : {6u, 7u, 8u, 9u, 15u, 16u, 17u, 23u, 64u, 999u, 1000u, 1001u, 1003u, 4101u}) {
    for (const std::uint8_t scale : {6, 12}) {
      SCOPED_TRACE("n " + std::to_string(n) + " scale " + std::to_string(scale));
      const auto c = edge_coefficients(n, n * 31u + scale);
      const auto expected = expected_signal(c, n, scale);
      const HandHeader h{.levels = 1, .scale = scale, .sample_count = n};
      auto with_extra = c;
      with_extra.insert(with_extra.end(), {7, -7, 7});  // ignored by the decoder, refused by the one-shot path
      for (const auto& stream : {c, with_extra}) {
        const auto decoded = quorvel::decompress(hand_container(h, deflate_raw(little_endian(stream))));
        ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
        ASSERT_EQ(decoded->size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
          ASSERT_EQ(std::bit_cast<std::uint32_t>((*decoded)[i]), std::bit_cast<std::uint32_t>(expected[i])) << i;
        }
      }
    }
  }
}

}  // namespace dequantisation

}  // namespace
