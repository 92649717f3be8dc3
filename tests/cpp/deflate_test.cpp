// raw_deflate, whichever library backs it (libdeflate, or zlib alone): the
// room left for a header, and streams that zlib's raw inflate gives back
// exactly, at every level, on first use and on reuse of a thread's compressor.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "codec/v1/deflate.hpp"

namespace {

// Coefficient-like bytes: mostly small 16-bit values with runs of zeros, so
// that every level finds matches, plus a stretch of noise that it cannot.
std::vector<std::uint8_t> stream_of(std::size_t length, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> out(length);
  for (std::size_t i = 0; i < length; ++i) {
    const bool noise = i > length / 2 && i < length / 2 + length / 8;
    out[i] = noise ? static_cast<std::uint8_t>(rng()) : (i % 2 == 1 || rng() % 4 == 0) ? 0 : rng() % 16;
  }
  return out;
}

std::vector<std::uint8_t> raw_inflate(std::span<const std::uint8_t> deflated, std::size_t expected_size) {
  std::vector<std::uint8_t> out(expected_size + 1);  // one spare byte: more output would be a fault
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<Bytef*>(deflated.data());
  z.avail_in = static_cast<uInt>(deflated.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END) << "not one complete raw DEFLATE stream";
  EXPECT_EQ(z.avail_in, 0u) << "bytes after the end of the stream";
  out.resize(out.size() - z.avail_out);
  inflateEnd(&z);
  return out;
}

void expect_round_trip(std::span<const std::uint8_t> stream, int level, std::size_t prefix) {
  const auto deflated = quorvel::raw_deflate(stream, level, prefix);
  ASSERT_TRUE(deflated.has_value()) << deflated.error().message();
  ASSERT_GE(deflated->size(), prefix);
  for (std::size_t i = 0; i < prefix; ++i) ASSERT_EQ((*deflated)[i], 0) << "header room at " << i;
  const auto inflated = raw_inflate(std::span(*deflated).subspan(prefix), stream.size());
  ASSERT_EQ(inflated.size(), stream.size());
  EXPECT_TRUE(std::equal(inflated.begin(), inflated.end(), stream.begin()));
}

TEST(RawDeflate, EveryLevelInflatesBackExactlyBehindTheHeaderRoom) {
  const std::size_t lengths[] = {0, 1, 2, 4097, 100001};
  for (const std::size_t length : lengths) {
    const auto stream = stream_of(length, static_cast<std::uint32_t>(length));
    for (int level = quorvel::min_deflate_level; level <= quorvel::max_deflate_level; ++level) {
      SCOPED_TRACE("length " + std::to_string(length) + ", level " + std::to_string(level));
      expect_round_trip(stream, level, 0);
      expect_round_trip(stream, level, 52);
    }
  }
}

// A thread keeps its compressor per level: a second, different stream through
// the same one must not carry anything over from the first, and the same
// stream must give the same bytes on any thread.
TEST(RawDeflate, ReusedAndPerThreadCompressorsGiveTheSameBytes) {
  const auto first = stream_of(70000, 1);
  const auto second = stream_of(50000, 2);
  for (const int level : {1, 6, 9, 12}) {
    SCOPED_TRACE("level " + std::to_string(level));
    const auto once = quorvel::raw_deflate(second, level, 0);
    ASSERT_TRUE(once.has_value());
    expect_round_trip(first, level, 0);
    const auto again = quorvel::raw_deflate(second, level, 0);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, *once);
    std::vector<std::uint8_t> elsewhere;
    std::thread([&] { elsewhere = quorvel::raw_deflate(second, level, 0).value(); }).join();
    EXPECT_EQ(elsewhere, *once);
  }
}

}  // namespace
