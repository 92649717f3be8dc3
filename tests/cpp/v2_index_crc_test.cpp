// The version-2 container's byte-level parts on their own: CRC-32 against zlib's, LEB128 fields at their
// edges (over-long and cut encodings refused as docs/format.md says), and the block index for sample counts
// around the block length.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codec/v2/bytes.hpp"
#include "codec/v2/container.hpp"
#include "codec/v2/crc32.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t zlib_crc(std::uint32_t crc, const Bytes& b) {
  // zlib answers a null buffer (an empty vector's data()) with its initial value, not with `crc`.
  if (b.empty()) return crc;
  return static_cast<std::uint32_t>(::crc32(crc, b.data(), static_cast<uInt>(b.size())));
}

Bytes leb(std::uint64_t v) {
  Bytes b;
  quorvel::ByteWriter(b).leb128(v);
  return b;
}

std::optional<std::uint64_t> read_leb(const Bytes& b, int width, std::size_t* used = nullptr) {
  quorvel::ByteReader in(b);
  const auto v = in.leb128(width);
  if (used) *used = in.position();
  return v;
}

}  // namespace

// Random buffers of every small length and a few long ones, whole and continued at every split.
TEST(V2Crc32, IsZlibsWholeAndContinued) {
  std::mt19937 rng(31);
  for (const std::size_t n : {0u, 1u, 2u, 3u, 7u, 8u, 15u, 16u, 31u, 64u, 255u, 1000u, 65537u}) {
    Bytes b(n);
    for (auto& v : b) v = static_cast<std::uint8_t>(rng());
    const std::uint32_t whole = zlib_crc(0, b);
    ASSERT_EQ(quorvel::crc32(0, b), whole) << "n " << n;
    for (const std::size_t split : {std::size_t{0}, n / 3, n}) {
      const std::uint32_t first = quorvel::crc32(0, std::span(b).first(split));
      EXPECT_EQ(quorvel::crc32(first, std::span(b).subspan(split)), whole) << "n " << n << " split " << split;
    }
    // A continuation from any seed, as each block's check continues the header's.
    const auto seed = static_cast<std::uint32_t>(rng());
    EXPECT_EQ(quorvel::crc32(seed, b), zlib_crc(seed, b)) << "n " << n;
  }
  const Bytes check{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(quorvel::crc32(0, check), 0xCBF43926u);  // the check value of this CRC-32
}

TEST(V2Leb128, EdgeValuesComeBackInTheirFewestBytes) {
  const std::pair<std::uint64_t, std::size_t> cases[] = {
      {0, 1}, {1, 1}, {127, 1}, {128, 2}, {16383, 2}, {16384, 3}, {(1u << 31) - 1, 5}, {0xFFFFFFFFu, 5},
      {std::uint64_t{1} << 35, 6}, {~std::uint64_t{0}, 10}};
  for (const auto& [value, length] : cases) {
    const Bytes b = leb(value);
    ASSERT_EQ(b.size(), length) << value;
    std::size_t used = 0;
    EXPECT_EQ(read_leb(b, 64, &used), value);
    EXPECT_EQ(used, length);
    // With 32 bits allowed: what fits comes back, what does not is refused.
    EXPECT_EQ(read_leb(b, 32), value <= 0xFFFFFFFFu ? std::optional(value) : std::nullopt) << value;
    // Cut anywhere: refused, and nothing read.
    for (std::size_t cut = 0; cut < length; ++cut) {
      EXPECT_EQ(read_leb(Bytes(b.begin(), b.begin() + std::ptrdiff_t(cut)), 64, &used), std::nullopt);
      EXPECT_EQ(used, 0u);
    }
  }
}

// A field of at most 32 bits takes at most 5 bytes, the fifth below 16; padding within them is allowed.
TEST(V2Leb128, OverLongAndOversizedFieldsAreRefused) {
  EXPECT_EQ(read_leb({0x80, 0x00}, 32), 0u);                    // zero in two bytes: within 5
  EXPECT_EQ(read_leb({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 32), 0xFFFFFFFFu);
  EXPECT_EQ(read_leb({0x80, 0x80, 0x80, 0x80, 0x00}, 32), 0u);
  EXPECT_EQ(read_leb({0xFF, 0xFF, 0xFF, 0xFF, 0x10}, 32), std::nullopt);  // bit 32
  EXPECT_EQ(read_leb({0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, 32), std::nullopt);  // a sixth byte
  EXPECT_EQ(read_leb({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 64), ~std::uint64_t{0});
  EXPECT_EQ(read_leb({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, 64), std::nullopt);
  EXPECT_EQ(read_leb(Bytes(11, 0x80), 64), std::nullopt);
  EXPECT_EQ(read_leb({0x7F}, 7), 127u);
  EXPECT_EQ(read_leb({0x80, 0x01}, 7), std::nullopt);
}

// Sample counts of 1, B - 1, B, B + 1 and many blocks: one index entry per block, each block's part where
// the index puts it, each block's samples, and a count the bytes cannot hold refused before it sizes anything.
TEST(V2BlockIndex, CountsAroundTheBlockLengthLayOutEveryBlock) {
  namespace v2 = quorvel::v2;
  std::mt19937 rng(32);
  for (const unsigned log2 : {v2::min_block_log2, v2::max_block_log2}) {
    const std::size_t block = std::size_t{1} << log2;
    for (const std::size_t n : {std::size_t{1}, block - 1, block, block + 1, 37 * block + 5}) {
      v2::Header header{.mode = v2::Mode::grid, .block_log2 = log2, .sample_count = static_cast<std::uint32_t>(n),
                        .grid = {0.5, 0.25}, .palette = {}, .filter = {}, .band_steps = {}};
      const std::size_t count = (n + block - 1) / block;
      ASSERT_EQ(header.block_count(), count);
      std::vector<Bytes> parts(count);
      for (std::size_t b = 0; b < count; ++b) parts[b].resize(b % 3 == 0 ? 200 : b % 3 == 1 ? 0 : 1, std::uint8_t(b));
      const auto bytes = v2::assemble(header, parts);
      ASSERT_TRUE(bytes);
      const auto layout = v2::parse(*bytes);
      ASSERT_TRUE(layout) << layout.error().message();
      ASSERT_EQ(layout->block_sizes.size(), count);
      ASSERT_EQ(layout->block_starts.size(), count + 1);
      std::size_t samples = 0;
      for (std::size_t b = 0; b < count; ++b) {
        EXPECT_EQ(layout->block_sizes[b], parts[b].size());
        const auto at = std::span(*bytes).subspan(layout->block_starts[b], parts[b].size() + 4);
        EXPECT_TRUE(std::equal(parts[b].begin(), parts[b].end(), at.begin()));
        quorvel::ByteReader crc(at.subspan(parts[b].size()));
        EXPECT_EQ(crc.u32(), quorvel::crc32(layout->header_crc, parts[b]));
        samples += layout->block_samples(b);
      }
      EXPECT_EQ(samples, n);
      EXPECT_EQ(layout->block_samples(count - 1), n - (count - 1) * block);
      EXPECT_EQ(std::max(layout->block_starts[count], v2::min_container_size), bytes->size());
      // One part too few or too many: refused.
      parts.emplace_back();
      EXPECT_FALSE(v2::assemble(header, parts));
      parts.resize(count - 1);
      EXPECT_FALSE(v2::assemble(header, parts));
    }
  }
  // 2^31 - 1 samples in blocks of 256 claim 8388608 blocks the bytes cannot hold: refused at once.
  v2::Header huge{.mode = v2::Mode::grid, .block_log2 = 8, .sample_count = 1, .grid = {0.0, 1.0}, .palette = {},
                  .filter = {}, .band_steps = {}};
  Bytes bytes = v2::assemble(huge, std::vector<Bytes>(1)).value();
  bytes.resize(8);
  quorvel::ByteWriter(bytes).leb128(0x7FFFFFFF);
  quorvel::ByteWriter(bytes).f32(0.0f);  // the grid, then nothing
  quorvel::ByteWriter(bytes).f32(1.0f);
  const auto parsed = v2::parse(bytes);
  ASSERT_FALSE(parsed);
  EXPECT_NE(parsed.error().message().find("cannot fit"), std::string::npos) << parsed.error().message();
}
