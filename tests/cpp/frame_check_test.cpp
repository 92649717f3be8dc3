// The chunk frame's own CRC-32: a damaged header, lane table or mask is an error, never other samples;
// frames written before the check existed still decode.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "codec/codec.hpp"
#include "codec/v2/crc32.hpp"
#include "codec/v2/decoder.hpp"
#include "codec_test_support.hpp"
#include "hdf5/filter.hpp"

namespace {

using codec_test::get_u32;
using Bytes = std::vector<std::uint8_t>;
using Shape = std::vector<std::uint64_t>;

template <class T>
std::vector<T> gappy(std::size_t lanes, std::size_t n) {
  std::vector<T> x(lanes * n);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<T>(2 * std::sin(0.3 * double(i)) + 0.01 * double(i));
  constexpr T inf = std::numeric_limits<T>::infinity();
  x[3] = std::numeric_limits<T>::quiet_NaN();
  x[17] = inf;
  x[n + 1] = -inf;
  for (std::size_t i = 2 * n; i < 3 * n; ++i) x[i] = std::numeric_limits<T>::quiet_NaN();
  return x;
}

// A frame decoded as the type its header names, as the Python face and the Zarr codec read it.
using Decoded = std::variant<std::vector<float>, std::vector<double>>;
std::expected<Decoded, std::string> decode_as_stored(std::span<const std::uint8_t> frame) {
  const auto info = quorvel::read_frame_info(frame);
  if (!info) return std::unexpected(info.error().message());
  const auto into = [&]<class T>(std::vector<T> out) -> std::expected<Decoded, std::string> {
    if (auto done = quorvel::decode_frame(frame, std::span<T>(out), 1); !done) return std::unexpected(done.error().message());
    return out;
  };
  if (info->dtype == quorvel::FrameDtype::float32) return into(std::vector<float>(info->sample_count));
  return into(std::vector<double>(info->sample_count));
}

// Same type, same length, same bits (NaN included).
bool identical(const Decoded& a, const Decoded& b) {
  return a.index() == b.index() && std::visit(
                                       [&](const auto& x) {
                                         const auto& y = std::get<std::decay_t<decltype(x)>>(b);
                                         return x.size() == y.size() &&
                                                std::memcmp(x.data(), y.data(), x.size() * sizeof(x[0])) == 0;
                                       },
                                       a);
}

Bytes read_file(const std::string& name) {
  std::ifstream in(std::filesystem::path(QUORVEL_TEST_DATA_DIR) / name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FrameCheck, EverySingleBitFlipIsAnErrorOrTheSameSamples) {
  const quorvel::FrameSettings version_2{.target = quorvel::Target{quorvel::TargetKind::rmse, 0.01}, .threads = 1,
                                         .format = 2};
  const auto narrow = gappy<float>(3, 40);
  const auto wide = gappy<double>(3, 40);
  constexpr auto table = quorvel::FrameLayout::lane_table;
  for (const Bytes& frame :
       {quorvel::encode_frame(std::span<const float>(narrow), Shape{3, 40}, version_2).value(),
        quorvel::encode_frame(std::span<const double>(wide), Shape{3, 40}, version_2).value(),
        quorvel::encode_frame(std::span<const float>(narrow), Shape{3, 40}, version_2, true, table).value(),
        quorvel::encode_frame(std::span<const double>(wide), Shape{3, 40}, version_2, true, table).value()}) {
    EXPECT_EQ(frame[7] & 3, quorvel::frame_flag_crc);
    const auto original = decode_as_stored(frame);
    ASSERT_TRUE(original) << original.error();
    std::size_t silent = 0;
    for (std::size_t bit = 0; bit < 8 * frame.size(); ++bit) {
      Bytes damaged = frame;
      damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      const auto decoded = decode_as_stored(damaged);
      if (decoded) silent += !identical(*decoded, *original);
      else EXPECT_FALSE(decoded.error().empty());
    }
    EXPECT_EQ(silent, 0u) << "flips decoded to other samples";
  }
}

TEST(FrameCheck, ChunksThroughTheHdf5FilterAreAnErrorOrTheSameBytes) {
  const auto bits = std::bit_cast<std::uint64_t>(0.01);
  const std::vector<unsigned> words{1, 1, static_cast<unsigned>(bits), static_cast<unsigned>(bits >> 32), 0, 1, 2,
                                    4, 2, 3, 40};
  const auto codec = quorvel::hdf5::read_client_data(words);
  ASSERT_TRUE(codec) << codec.error().message();
  const auto x = gappy<float>(3, 40);
  const auto frame = quorvel::hdf5::encode_chunk(*codec, std::as_bytes(std::span(x))).value();
  std::vector<std::byte> original(x.size() * sizeof(float)), decoded(original.size());
  ASSERT_TRUE(quorvel::hdf5::decode_chunk(*codec, frame, original));
  std::size_t silent = 0;
  for (std::size_t bit = 0; bit < 8 * frame.size(); ++bit) {
    Bytes damaged = frame;
    damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    if (quorvel::hdf5::decode_chunk(*codec, damaged, decoded)) silent += decoded != original;
  }
  EXPECT_EQ(silent, 0u);
}

TEST(FrameCheck, DamageIsNamed) {
  const quorvel::FrameSettings version_1{.fixed = codec_test::cdf53_opts, .threads = 1};
  const auto x = gappy<float>(3, 40);
  const Bytes frame =
      quorvel::encode_frame(std::span<const float>(x), Shape{3, 40}, version_1, true, quorvel::FrameLayout::lane_table)
          .value();
  const Bytes compact = quorvel::encode_frame(std::span<const float>(x), Shape{3, 40}, version_1).value();
  const auto error_of = [](Bytes f) {
    const auto r = decode_as_stored(f);
    return r ? std::string("decoded") : r.error();
  };
  const std::string damaged = "Frame damaged: the CRC-32 of its header, shape, lane table and masks fails";
  const auto flipped = [&](std::size_t at, std::uint8_t bits, const Bytes& of = {}) {
    Bytes f = of.empty() ? frame : of;
    f[at] ^= bits;
    return f;
  };
  EXPECT_EQ(error_of(flipped(5, 1)), damaged);                 // the sample type
  EXPECT_EQ(error_of(flipped(frame.size() - 6, 0x10)), damaged);  // a mask
  EXPECT_EQ(error_of(flipped(frame.size() - 1, 0x80)), damaged);  // the CRC itself
  EXPECT_NE(error_of(flipped(7, 4)), "decoded");  // read as compact, a lane table makes no sense
  // Flag bit 1 announces a reference table: the containers' bytes do not make one.
  EXPECT_NE(error_of(flipped(7, 2)), "decoded");
  // Without its flag the CRC is four bytes too many.
  EXPECT_EQ(error_of(flipped(7, 1)).substr(0, 22), "Frame parts add up to ");
  // The compact layout: the same damage, the same names; without the compact
  // flag its other flags are unknown to the lane-table layout.
  const std::string compact_damaged =
      "Frame damaged: the CRC-32 of its header, shape, reference table and masks fails";
  EXPECT_EQ(error_of(flipped(5, 1, compact)), compact_damaged);
  // The shape and bitmap are read before the walk that finds the masks; they fail their own checks.
  EXPECT_EQ(error_of(flipped(8, 1, compact)), "The lane bitmap marks every lane");
  EXPECT_EQ(error_of(flipped(compact.size() - 6, 0x10, compact)), compact_damaged);
  EXPECT_EQ(error_of(flipped(7, 4, compact)), "Unknown frame flags " + std::to_string(compact[7] ^ 4));
  EXPECT_NE(error_of(flipped(7, 1, compact)), "decoded");
}

// Frames as the encoder wrote them before the CRC (flags 0, nothing after the masks), made by that encoder:
// they decode as they always did, to what their lanes' containers and masks hold.
TEST(FrameCheck, FramesWithoutTheCheckStillDecode) {
  struct Fixture {
    const char* file;
    std::uint8_t version;
  };
  for (const auto& [file, version] : {Fixture{"frame-v2-float32-unchecked.bin", 2},
                                      Fixture{"frame-v1-float64-unchecked.bin", 1}}) {
    SCOPED_TRACE(file);
    const Bytes frame = read_file(file);
    ASSERT_GT(frame.size(), 44u);
    EXPECT_EQ(frame[4], version);
    EXPECT_EQ(frame[7], 0);
    const auto decoded = decode_as_stored(frame);
    ASSERT_TRUE(decoded) << decoded.error();
    const auto info = quorvel::read_frame_info(frame).value();
    ASSERT_EQ(info.lanes.size(), 3u);
    EXPECT_EQ(info.lanes[2].size, 0u);  // a lane of NaN alone
    // The last part ends the frame: the masks, read by hand from the lengths in the header.
    std::size_t masks = 0;
    for (std::size_t m = 0; m < 3; ++m) masks += get_u32(frame, 8 + 4 * m);
    EXPECT_EQ(info.lanes[1].offset + info.lanes[1].size + masks, frame.size());
    std::visit(
        [&](const auto& y) {
          using T = std::decay_t<decltype(y[0])>;
          const auto x = gappy<T>(3, 40);
          for (std::size_t lane = 0; lane < 2; ++lane) {
            const auto container = std::span(frame).subspan(info.lanes[lane].offset, info.lanes[lane].size);
            const auto alone = version == 2 ? quorvel::v2::decode(container, 1).value()
                                            : quorvel::decompress(container).value();
            for (std::size_t i = 0; i < 40; ++i) {
              const std::size_t at = 40 * lane + i;
              if (std::isfinite(x[at])) EXPECT_EQ(y[at], static_cast<T>(alone[i])) << at;
              else EXPECT_EQ(std::bit_cast<std::uint64_t>(double(y[at])), std::bit_cast<std::uint64_t>(double(x[at])));
            }
          }
          for (std::size_t i = 80; i < 120; ++i) EXPECT_TRUE(std::isnan(y[i]));
        },
        *decoded);
  }
}


// A reader of part of a stored frame learns from the head's bytes alone where the containers start
// and which lanes have one, and from each container's header and block index where its blocks lie:
// the same places the whole frame's parse finds, for frames with a bitmap, joint lanes, either version.
TEST(FrameCheck, HeadsAndBlocksAreReadWithoutTheRestOfTheFrame) {
  const quorvel::FrameSettings version_2{.target = quorvel::Target{quorvel::TargetKind::max_error, 0.01}, .threads = 1,
                                         .format = 2};
  const quorvel::FrameSettings version_1{.fixed = codec_test::cdf53_opts, .threads = 1};
  std::vector<float> x = gappy<float>(4, 700);
  for (std::size_t i = 0; i < 700; ++i) x[3 * 700 + i] = 0.5f * x[i];  // lane 3 follows lane 0: joint
  for (const auto& settings : {version_2, version_1}) {
    const Bytes frame = quorvel::encode_frame(std::span<const float>(x), Shape{4, 700}, settings).value();
    const auto info = quorvel::read_frame_info(frame).value();
    const auto head = quorvel::read_frame_head(std::span(frame).first(info.lanes[0].offset)).value();
    EXPECT_EQ(head.end, info.lanes[0].offset);
    EXPECT_EQ(head.info.references, info.references);
    ASSERT_EQ(head.bitmap.size(), 1u);  // lane 2 is all NaN: no container
    EXPECT_EQ(head.bitmap[0], 0b1011);
    EXPECT_FALSE(quorvel::read_frame_head(std::span(frame).first(head.end - 1)));
    for (const std::size_t lane : {0u, 1u, 3u}) {
      const auto part = info.lanes[lane];
      const auto blocks = quorvel::read_container_blocks(std::span(frame).subspan(part.offset), info.version).value();
      EXPECT_EQ(blocks.sample_count, 700u);
      EXPECT_EQ(blocks.starts.back(), part.size);
      EXPECT_EQ(blocks.starts.size(), 2u);  // one block of 2^14 samples, or version 1's one
    }
  }
  const Bytes table = quorvel::encode_frame(std::span<const float>(x), Shape{4, 700}, version_2, true,
                                            quorvel::FrameLayout::lane_table).value();
  EXPECT_FALSE(quorvel::read_frame_head(table));
}

}  // namespace
