// Version-2 containers built byte by byte (zlib's CRC-32, the sequence coder's own blocks): what they decode
// to, and every error path of the decoder.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "codec/v2/interpolation.hpp"
#include "codec/sequence/coder.hpp"
#include "codec/v2/decoder.hpp"
#include "codec/v2/encoder.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put_leb128(Bytes& b, std::uint64_t v) {
  for (; v >= 0x80; v >>= 7) b.push_back(static_cast<std::uint8_t>(v | 0x80));
  b.push_back(static_cast<std::uint8_t>(v));
}
template <class T>
void put(Bytes& b, T value) {
  const auto bits = std::bit_cast<std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) b.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

Bytes coded(const std::vector<std::int32_t>& codes, std::size_t block_length) {
  auto blocks = quorvel::encode_sequence(codes, {.block_length = block_length});
  EXPECT_TRUE(blocks && blocks->size() == 1);
  return blocks ? blocks->front() : Bytes{};
}

// A container as the layout in codec/v2/container.hpp describes it.
struct Hand {
  std::uint8_t mode = 0;
  std::uint8_t block_log2 = 8;
  std::uint64_t count = 0;
  Bytes grid;  // origin and step as stored
  std::optional<std::vector<std::int32_t>> palette_gaps;
  std::vector<Bytes> blocks;

  [[nodiscard]] Bytes bytes() const {
    Bytes b{'Q', 'R', 'V', 'L', 2, 0, mode, block_log2};
    put_leb128(b, count);
    b.insert(b.end(), grid.begin(), grid.end());
    if (palette_gaps) {
      const Bytes p = coded(*palette_gaps, std::bit_ceil(palette_gaps->size()));
      put_leb128(b, palette_gaps->size());
      put_leb128(b, p.size());
      b.insert(b.end(), p.begin(), p.end());
    }
    for (const Bytes& block : blocks) put_leb128(b, block.size());
    const uLong header_crc = crc32(0, b.data(), static_cast<uInt>(b.size()));
    for (const Bytes& block : blocks) {
      b.insert(b.end(), block.begin(), block.end());
      put(b, static_cast<std::uint32_t>(crc32(header_crc, block.data(), static_cast<uInt>(block.size()))));
    }
    return b;
  }
};

Bytes grid_f32(float origin, float step) {
  Bytes b;
  put(b, origin);
  put(b, step);
  return b;
}

// Codes on the grid origin 0.5, step 0.25 in one block of 256.
Hand grid_hand(const std::vector<std::int32_t>& codes) {
  return {0x00, 8, codes.size(), grid_f32(0.5f, 0.25f), std::nullopt, {coded(codes, 256)}};
}

std::string message_of(const Bytes& container) {
  const auto decoded = quorvel::v2::decode(container);
  return decoded ? std::string("decoded") : decoded.error().message();
}

std::string invalid(const std::string& why) { return "Invalid version-2 container: " + why; }
const std::string crc_fails = "The container is damaged: block 0 fails its CRC-32 check";

TEST(V2Container, GridCodesDecodeToTheDecodersFloat32OfOriginPlusStepTimesCode) {
  const std::vector<std::int32_t> codes{0, 1, -3, 1000000, -7};
  const auto decoded = quorvel::v2::decode(grid_hand(codes).bytes());
  ASSERT_TRUE(decoded) << decoded.error().message();
  ASSERT_EQ(decoded->size(), codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i)
    EXPECT_EQ((*decoded)[i], static_cast<float>(0.5 + 0.25 * codes[i]));
}

TEST(V2Container, EveryCodingDecodesAsTheLayoutSays) {
  // Interpolation of [5, 7, 9] in coding order: point 0 (predicted 0), point 2
  // (the left one, at the end), point 1 (the mean of 5 and 9): residuals 5, 4, 0.
  Hand interpolated = grid_hand({5, 4, 0});
  interpolated.mode = 0x01;
  EXPECT_EQ(quorvel::v2::decode(interpolated.bytes()).value(), (std::vector<float>{1.75f, 2.25f, 2.75f}));

  // Ordinals: 0 is +0, -1 is -0, 1065353216 the bits of 1.0f.
  Hand ordinals{0x03, 8, 3, {}, std::nullopt, {coded({0, -1, 1065353216}, 256)}};
  const auto o = quorvel::v2::decode(ordinals.bytes()).value();
  EXPECT_EQ(std::bit_cast<std::uint32_t>(o[1]), 0x80000000u);
  EXPECT_EQ(o[2], 1.0f);

  // Corrections move the grid sample's ordinal: 0.75 + 1 ulp, 1.0 - 2 ulps.
  Bytes both;
  const Bytes c = coded({1, 2}, 256), k = coded({1, -2}, 256);
  put_leb128(both, c.size());
  both.insert(both.end(), c.begin(), c.end());
  both.insert(both.end(), k.begin(), k.end());
  Hand corrected{0x02, 8, 2, grid_f32(0.5f, 0.25f), std::nullopt, {both}};
  EXPECT_EQ(
      quorvel::v2::decode(corrected.bytes()).value(),
      (std::vector<float>{std::nextafter(0.75f, 2.0f), std::nextafter(std::nextafter(1.0f, 0.0f), 0.0f)}));

  // A palette of 10, 20, 50 (gaps minus one: 9, 26), ranks 2, 0, 1.
  Hand palette{
      0x10, 8, 3, grid_f32(0.0f, 1.0f), std::vector<std::int32_t>{10, 9, 29}, {coded({2, 0, 1}, 256)}};
  EXPECT_EQ(quorvel::v2::decode(palette.bytes()).value(), (std::vector<float>{50.0f, 10.0f, 20.0f}));

  // Float64 origin and step (flags 5 and 6).
  Hand wide = grid_hand({3});
  wide.mode = 0x60;
  wide.grid.clear();
  put(wide.grid, 0.1);
  put(wide.grid, 1e-10);
  EXPECT_EQ(quorvel::v2::decode(wide.bytes()).value(),
            std::vector<float>{static_cast<float>(0.1 + 1e-10 * 3)});
}

// The cell filter written out from its definition: corrections in 1/1024 of a step from the symmetric
// second differences of the codes, mirrored at the block's ends, clamped inside the cell, none at code 0.
std::vector<float> filtered_by_hand(const std::vector<std::int32_t>& c, const std::array<std::int16_t, 4>& g,
                                    double origin, double step) {
  const auto n = static_cast<long>(c.size());
  const auto at = [&](long k) {
    if (k < 0) k = -k;
    if (k > n - 1) k = 2 * (n - 1) - k;
    return static_cast<double>(c[static_cast<std::size_t>(std::clamp(k, 0L, n - 1))]);
  };
  std::vector<float> out;
  for (long i = 0; i < n; ++i) {
    double s = 0;
    for (long j = 1; j <= 4; ++j) s += g[static_cast<std::size_t>(j - 1)] * (at(i - j) + at(i + j) - 2 * at(i));
    const double t = c[static_cast<std::size_t>(i)] == 0 ? 0.0 : std::clamp(s, -511.0, 511.0);
    out.push_back(static_cast<float>(origin + step / 1024 * (1024 * at(i) + t)));
  }
  return out;
}

TEST(V2Container, FilteredCodesDecodeAsTheirDefinitionSays) {
  // Steps, spikes and a ramp, long enough for the inner loop, and blocks too short for the mirror.
  const std::vector<std::int32_t> codes{0, 3, 9, 9, 8, 40, 2, 2, 3, 5, 7, 9, 11, 1000, -1000, 6, 6, 0, 4, 5};
  const std::array<std::int16_t, 4> g{300, -120, 40, -5};
  for (const std::size_t n : {codes.size(), std::size_t{3}, std::size_t{1}}) {
    const std::vector<std::int32_t> part(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(n));
    Hand h{0x80, 8, n, grid_f32(-2.0f, 0.125f), std::nullopt, {coded(part, 256)}};
    for (const std::int16_t tap : g) {
      h.grid.push_back(static_cast<std::uint8_t>(tap));
      h.grid.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(tap) >> 8));
    }
    EXPECT_EQ(quorvel::v2::decode(h.bytes()).value(), filtered_by_hand(part, g, -2.0, 0.125)) << n;
    // The same codes as interpolation residuals decode to the same samples.
    std::vector<std::int32_t> residuals(n);
    quorvel::interpolation_residuals(part, residuals);
    h.mode = 0x81;
    h.blocks = {coded(residuals, 256)};
    EXPECT_EQ(quorvel::v2::decode(h.bytes()).value(), filtered_by_hand(part, g, -2.0, 0.125)) << n;
  }
}

TEST(V2Container, ShortContainersArePaddedSoTheSpecDecoderNamesTheVersion) {
  const auto container = quorvel::v2::encode(std::vector<float>{1.5f}, {quorvel::TargetKind::max_error, 0.0});
  ASSERT_TRUE(container);
  EXPECT_EQ(container->size(), 52u);
  EXPECT_EQ(quorvel::v2::container_size(*container).value(), 52u);
  const auto v1 = quorvel::decompress(*container);
  ASSERT_FALSE(v1);
  EXPECT_EQ(v1.error().message(), std::string("Invalid header version '\x02") + '\0' + "'");
}

TEST(V2Container, BlocksAreReadOnlyWhereAskedAndBytesAfterTheContainerIgnored) {
  std::vector<std::int32_t> codes(700);
  for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::int32_t>(i * i % 1013);
  Hand three{0x00, 8, codes.size(), grid_f32(0.0f, 1.0f), std::nullopt, {}};
  for (std::size_t start = 0; start < codes.size(); start += 256) {
    three.blocks.push_back(
        coded({codes.begin() + start, codes.begin() + std::min(codes.size(), start + 256)}, 256));
  }
  Bytes container = three.bytes();
  const std::size_t size = container.size();
  container.insert(container.end(), {'Q', 'R', 'V', 'S', 1, 2, 3});
  EXPECT_EQ(quorvel::v2::container_size(container).value(), size);
  const auto middle = quorvel::v2::decode(container, 300, 310).value();
  for (std::size_t i = 0; i < middle.size(); ++i) EXPECT_EQ(middle[i], static_cast<float>(codes[300 + i]));
  // Damage in the first block does not touch a range inside the second.
  const std::size_t first_block =
      size - (three.blocks[0].size() + three.blocks[1].size() + three.blocks[2].size() + 12);
  container[first_block] ^= 1;
  EXPECT_TRUE(quorvel::v2::decode(container, 300, 310));
  EXPECT_EQ(message_of(container), crc_fails);
  EXPECT_EQ(quorvel::v2::decode(container, 650, 701).error().message(),
            "Samples 650 to 701 asked of a container of 700");
}

TEST(V2Container, MalformedHeadersAreRefusedWithWhatIsWrong) {
  const Hand good = grid_hand({1, 2, 3});
  const auto with = [&](auto change) {
    Hand h = good;
    change(h);
    return message_of(h.bytes());
  };
  EXPECT_EQ(message_of(good.bytes()), "decoded");
  EXPECT_EQ(with([](Hand& h) { h.mode = 0x07; }),
            invalid("unknown coding mode 7 (this decoder reads modes 0 to 6)"));
  EXPECT_EQ(with([](Hand& h) { h.mode = 0x16; }), invalid("unknown flags in mode byte 22"));   // palette on 6
  EXPECT_EQ(with([](Hand& h) { h.mode = 0x86; }), invalid("unknown flags in mode byte 134"));  // filter on 6
  EXPECT_EQ(with([](Hand& h) { h.mode = 0x15; }), invalid("unknown flags in mode byte 21"));   // palette on scaled
  EXPECT_EQ(with([](Hand& h) { h.mode = 0x85; }), invalid("unknown flags in mode byte 133"));  // filter on scaled
  EXPECT_EQ(with([](Hand& h) { h.mode = 0x83; }), invalid("unknown flags in mode byte 131"));  // filter on ordinals
  EXPECT_EQ(with([](Hand& h) { h.mode = 0x90; }), invalid("unknown flags in mode byte 144"));  // and a palette
  EXPECT_NE(with([](Hand& h) { h.mode = 0x80; }), "decoded");  // the index and block taken for a filter
  EXPECT_EQ(with([](Hand& h) { h.mode = 0x11; }),
            invalid("unknown flags in mode byte 17"));  // palette on residuals
  EXPECT_EQ(with([](Hand& h) { h.block_log2 = 15; }), invalid("block length 2^15 outside 2^8 to 2^14"));
  EXPECT_EQ(with([](Hand& h) { h.count = 0; }), invalid("sample count 0 outside 1 to 2147483647"));
  EXPECT_EQ(with([](Hand& h) { h.count = 2147483648; }),
            invalid("sample count 2147483648 outside 1 to 2147483647"));
  const std::string bad_grid = invalid("the grid's origin and step must be finite and the step positive");
  EXPECT_EQ(with([](Hand& h) { h.grid = grid_f32(0.0f, 0.0f); }), bad_grid);
  EXPECT_EQ(with([](Hand& h) { h.grid = grid_f32(0.0f, -1.0f); }), bad_grid);
  EXPECT_EQ(with([](Hand& h) { h.grid = grid_f32(INFINITY, 1.0f); }), bad_grid);
  EXPECT_EQ(with([](Hand& h) { h.grid = grid_f32(0.0f, NAN); }), bad_grid);
  EXPECT_EQ(with([](Hand& h) {
              h.mode = 0x10;
              h.palette_gaps = std::vector<std::int32_t>{0, 0, 0, 0};
            }),
            invalid("a palette of 4 entries for 3 samples (at most 65536 and one per sample)"));
  EXPECT_EQ(with([](Hand& h) {
              h.mode = 0x10;
              h.palette_gaps = std::vector<std::int32_t>{2147483600, 100};
            }),
            invalid("the palette's entries leave the int32 codes"));
  // A sample count that needs more blocks than the bytes could hold.
  EXPECT_EQ(with([](Hand& h) { h.count = 100000; }),
            invalid("the container is truncated: 391 blocks cannot fit in the bytes that follow its header"));
  const Bytes bytes = good.bytes();
  EXPECT_EQ(message_of(Bytes(bytes.begin(), bytes.begin() + 9)),
            invalid("the container ends inside its header"));
  EXPECT_EQ(message_of(Bytes(bytes.begin(), bytes.end() - 1)),
            invalid("the container is truncated: its blocks need more bytes than follow its header"));
  EXPECT_EQ(message_of(Bytes{'Q', 'R', 'V', 'X', 2, 0}), "Magic should be 'QRVL' but it was 'QRVX'");
}

TEST(V2Container, DamageAnywhereFailsTheCrcCheck) {
  const Bytes bytes = grid_hand({1, 2, 3, 4, 5}).bytes();
  for (const std::size_t at : {std::size_t{10}, std::size_t{12}, bytes.size() - 6, bytes.size() - 1}) {
    Bytes copy = bytes;
    copy[at] ^= 0x04;  // in the origin, the step, the codes, the CRC
    EXPECT_EQ(message_of(copy), crc_fails) << at;
    const auto error = quorvel::v2::decode(copy).error();
    EXPECT_EQ(error.kind(), quorvel::QuorvelError::Kind::DamagedContainer);
    EXPECT_EQ(error.block(), 0u);
  }
}

TEST(V2Container, CodesThatLeaveTheirPaletteOrFloat32AreErrors) {
  Hand palette{0x10, 8, 2, grid_f32(0.0f, 1.0f), std::vector<std::int32_t>{10, 9}, {coded({1, 2}, 256)}};
  EXPECT_EQ(message_of(palette.bytes()), invalid("block 0: a code does not decode to a finite sample"));
  Hand huge{0x00, 8, 1, grid_f32(0.0f, 3e38f), std::nullopt, {coded({2}, 256)}};
  EXPECT_EQ(message_of(huge.bytes()), invalid("block 0: a code does not decode to a finite sample"));
  Hand nan{0x03, 8, 1, {}, std::nullopt, {coded({0x7FC00000}, 256)}};
  EXPECT_EQ(message_of(nan.bytes()), invalid("block 0: a code does not decode to a finite sample"));
}


// Lifted: the grid (origin 0), then the levels and the band steps; the bands' integers in the block.
Hand lifted_hand(float origin, std::uint8_t levels, const std::vector<std::uint64_t>& steps,
                 const std::vector<std::int32_t>& bands, float step = 0.5f) {
  Hand h{0x04, 8, bands.size(), grid_f32(origin, step), std::nullopt, {coded(bands, 256)}};
  h.grid.push_back(levels);
  for (const std::uint64_t s : steps) put_leb128(h.grid, s);
  return h;
}

TEST(V2Container, LiftedBandsDecodeAsModelledAndOutOfRangeAreRefused) {
  // Three levels of 40 samples (bands of 5, 5, 10, 20), against the numpy model of the lifting in
  // tests/python/tools/test_lifted.py; on every tier the suite runs on.
  std::vector<std::int32_t> bands(40);
  for (std::size_t i = 0; i < bands.size(); ++i) bands[i] = static_cast<std::int32_t>((i * 7) % 11) - 5;
  const std::vector<int> model{-13, 0,  -11, -2, 13, -22, -15, 2,  9,  5,  12, 27,  -3,  -1,
                               -8,  -25, -14, 14, 8,  3,   -3,  -13, 12, 26, 13, 4,   4,   -20,
                               3,   18, 15,  -4, -10, 11,  -7,  10,  14, -10, -11, 2};
  const auto decoded = quorvel::v2::decode(lifted_hand(0.0f, 3, {3, 2, 5, 4}, bands).bytes());
  ASSERT_TRUE(decoded) << decoded.error().message();
  for (std::size_t i = 0; i < model.size(); ++i) {
    EXPECT_EQ((*decoded)[i], 0.5f * static_cast<float>(model[i])) << i;
  }
  EXPECT_EQ(message_of(lifted_hand(0.0f, 2, {3, 2, 5}, {1, -2, 0, 4, 7}).bytes()), "decoded");
  EXPECT_EQ(message_of(lifted_hand(1.0f, 2, {3, 2, 5}, {1, -2, 0, 4, 7}).bytes()),
            invalid("the lifted coding's grid must start at 0"));
  EXPECT_EQ(message_of(lifted_hand(0.0f, 0, {3}, {1, 2}).bytes()),
            invalid("0 lifting levels (1 to 8 are read)"));
  EXPECT_EQ(message_of(lifted_hand(0.0f, 9, std::vector<std::uint64_t>(10, 1), {1, 2}).bytes()),
            invalid("9 lifting levels (1 to 8 are read)"));
  EXPECT_EQ(message_of(lifted_hand(0.0f, 1, {3, 0}, {1, 2}).bytes()),
            invalid("band step 0 outside 1 to 2147483647"));
  EXPECT_EQ(message_of(lifted_hand(0.0f, 1, {3, 2147483648}, {1, 2}).bytes()),
            invalid("band step 2147483648 outside 1 to 2147483647"));
  // Products far beyond the lifting's range, products within it that grow past it over 8 levels, and
  // codes whose samples leave float32: errors, never wrapped integers.
  const std::string unlifted = invalid("block 0: its bands do not lift back to finite samples");
  EXPECT_EQ(message_of(lifted_hand(0.0f, 1, {2147483647, 1}, {2147483647, 0}).bytes()), unlifted);
  std::vector<std::int32_t> peaks(256, -(1 << 30));
  for (std::size_t i = 0; i < peaks.size(); i += 2) peaks[i] = 1 << 30;
  EXPECT_EQ(message_of(lifted_hand(0.0f, 8, std::vector<std::uint64_t>(9, 1000), peaks).bytes()), unlifted);
  EXPECT_EQ(message_of(lifted_hand(0.0f, 1, {1, 1}, {1 << 20, 0}, 3e38f).bytes()), unlifted);
}

}  // namespace
