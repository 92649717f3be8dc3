// The chunk frame: byte layout, lanes, gap filling, masks, hostile frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "codec/v2/crc32.hpp"
#include "codec_test_support.hpp"

namespace {

using namespace codec_test;
using quorvel::QuorvelError;
using Shape = std::vector<std::uint64_t>;
using Bytes = std::vector<std::uint8_t>;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

const quorvel::FrameSettings settings{.fixed = cdf53_opts, .threads = 2};

template <class T>
Bytes encode_ok(const std::vector<T>& x, const Shape& shape,
                quorvel::FrameLayout layout = quorvel::FrameLayout::compact) {
  auto frame = quorvel::encode_frame(std::span<const T>(x), shape, settings, true, layout);
  if (!frame) ADD_FAILURE() << frame.error().message();
  return frame ? *frame : Bytes{};
}

template <class T = float>
std::expected<std::vector<T>, QuorvelError> decode(std::span<const std::uint8_t> frame) {
  const auto info = quorvel::read_frame_info(frame);
  if (!info) return std::unexpected(info.error());
  std::vector<T> out(info->sample_count);
  if (auto ok = quorvel::decode_frame(frame, std::span<T>(out), 2); !ok) return std::unexpected(ok.error());
  return out;
}

std::string error_of(std::span<const std::uint8_t> frame) {
  const auto r = decode(frame);
  return r ? "decoded" : r.error().message();
}

// The parts of a frame, read by hand from the documented layouts.
struct HandParsed {
  std::vector<Bytes> containers;
  std::array<Bytes, 3> masks;
};

// The masks from `at` and the CRC-32 over the head's `head` bytes and them.
void hand_parse_tail(const Bytes& f, std::size_t at, std::size_t head, const std::array<std::size_t, 3>& lengths,
                     HandParsed& p) {
  for (std::size_t m = 0; m < 3; ++m) {
    p.masks[m] = Bytes(f.begin() + at, f.begin() + at + lengths[m]);
    at += p.masks[m].size();
  }
  if (f[7] & 1) {  // the CRC-32 of the head and the masks
    Bytes covered(f.begin(), f.begin() + head);
    for (const auto& m : p.masks) covered.insert(covered.end(), m.begin(), m.end());
    EXPECT_EQ(get_u32(f, at), quorvel::crc32(0, covered));
    at += 4;
  }
  EXPECT_EQ(at, f.size());
}

HandParsed hand_parse_lane_table(const Bytes& f) {
  const std::size_t ndim = f[6];
  std::size_t lanes = 1;
  for (std::size_t a = 0; a + 1 < ndim; ++a) lanes *= get_u32(f, 20 + 8 * a);
  std::size_t at = 20 + 8 * ndim + 4 * lanes;
  HandParsed p;
  for (std::size_t lane = 0; lane < lanes; ++lane) {
    const std::uint32_t length = get_u32(f, 20 + 8 * ndim + 4 * lane);
    p.containers.emplace_back(f.begin() + at, f.begin() + at + length);
    at += length;
  }
  hand_parse_tail(f, at, 20 + 8 * ndim + 4 * lanes, {get_u32(f, 8), get_u32(f, 12), get_u32(f, 16)}, p);
  return p;
}

std::uint64_t leb128(const Bytes& f, std::size_t& at) {
  std::uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    const std::uint8_t byte = f[at++];
    value |= std::uint64_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) return value;
  }
}

// The compact layout: LEB128 shape, bitmap, lengths of masks but the last,
// reference table; each container as long as its own header says.
HandParsed hand_parse_compact(const Bytes& f) {
  const std::size_t ndim = f[6], flags = f[7];
  std::size_t at = 8, lanes = 1;
  for (std::size_t a = 0; a + 1 < ndim; ++a) lanes *= leb128(f, at);
  std::vector<bool> has(lanes, (flags & 64) == 0);
  if (flags & 128) {
    for (std::size_t lane = 0; lane < lanes; ++lane) has[lane] = (f[at + lane / 8] >> (lane % 8) & 1) != 0;
    at += (lanes + 7) / 8;
  }
  if (ndim > 0 && std::find(has.begin(), has.end(), true) == has.end()) leb128(f, at);  // the lanes' length
  std::vector<std::size_t> present;
  for (std::size_t m = 0; m < 3; ++m) if (flags >> (3 + m) & 1) present.push_back(m);
  std::array<std::size_t, 3> lengths{};
  for (std::size_t k = 0; k + 1 < present.size(); ++k) lengths[present[k]] = leb128(f, at);
  if (flags & 2) {
    const std::uint64_t count = leb128(f, at);
    for (std::uint64_t e = 0; e < count; ++e) leb128(f, at), leb128(f, at), at += 2;
  }
  const std::size_t head = at;
  HandParsed p;
  for (std::size_t lane = 0; lane < lanes; ++lane) {
    std::size_t length = 0;
    if (has[lane]) {
      const auto info = quorvel::inspect(std::span(f).subspan(at));
      EXPECT_TRUE(info);
      length = info->v2 ? info->v2->block_starts.back() : info->size;
    }
    p.containers.emplace_back(f.begin() + at, f.begin() + at + length);
    at += length;
  }
  std::size_t stored = 0;
  for (auto l : lengths) stored += l;
  if (!present.empty()) lengths[present.back()] = f.size() - ((flags & 1) ? 4 : 0) - at - stored;
  hand_parse_tail(f, at, head, lengths, p);
  return p;
}

HandParsed hand_parse(const Bytes& f) { return (f[7] & 4) ? hand_parse_compact(f) : hand_parse_lane_table(f); }

// The frame as encoders wrote it before the CRC-32: flags 0, nothing after the masks.
Bytes unchecked(const Bytes& f) {
  Bytes old(f.begin(), f.end() - 4);
  old[7] = 0;
  return old;
}

TEST(Frame, HeaderFollowsTheDocumentedLayout) {
  const auto compact = encode_ok(wave(2 * 3 * 5), Shape{2, 3, 5});
  EXPECT_EQ(compact[7], 1 | 4);  // a CRC-32, compact; no mask, every lane has a container
  EXPECT_EQ(compact[8], 2);      // the leading axes; the lanes' length is the containers'
  EXPECT_EQ(compact[9], 3);
  EXPECT_EQ(hand_parse(compact).containers.size(), 6u);
  const auto f = encode_ok(wave(2 * 3 * 5), Shape{2, 3, 5}, quorvel::FrameLayout::lane_table);
  ASSERT_GE(f.size(), 20u + 24 + 24);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "QRVC");
  EXPECT_EQ(f[4], 1);  // version
  EXPECT_EQ(f[5], 0);  // float32
  EXPECT_EQ(f[6], 3);  // ndim
  EXPECT_EQ(f[7], 1);  // flags: a CRC-32 follows the masks
  for (std::size_t m = 0; m < 3; ++m) EXPECT_EQ(get_u32(f, 8 + 4 * m), 0u);  // no masks
  for (std::size_t a = 0; a < 3; ++a) {
    EXPECT_EQ(get_u32(f, 20 + 8 * a), (Shape{2, 3, 5}[a]));
    EXPECT_EQ(get_u32(f, 24 + 8 * a), 0u);  // high half of the u64
  }
  EXPECT_EQ(hand_parse(f).containers.size(), 6u);
  EXPECT_EQ(encode_ok(std::vector<double>{1.0, 2.0}, Shape{2})[5], 1);  // float64
}

TEST(Frame, EveryLaneIsTheCodecsOwnContainerOfThatLane) {
  // Lanes of 1 to 7 samples, and longer, in 1, 2 and 3 axes: each container
  // must be byte for byte what compress makes of the lane alone, and decode
  // to what decompress makes of it.
  for (const Shape& shape : {Shape{1}, Shape{7}, Shape{300}, Shape{3, 1}, Shape{2, 2}, Shape{4, 3}, Shape{3, 5},
                             Shape{2, 6}, Shape{1, 7}, Shape{2, 3, 4}, Shape{2, 2, 100}, Shape{}}) {
    SCOPED_TRACE(::testing::PrintToString(shape));
    std::size_t n = 1;
    for (auto e : shape) n *= e;
    const std::size_t lane_length = shape.empty() ? 1 : shape.back();
    std::vector<float> x = wave(n);
    for (std::size_t i = 0; i < n; ++i) x[i] += static_cast<float>(i / lane_length);  // lanes differ
    const auto f = encode_ok(x, shape);
    const auto parts = hand_parse(f);
    const auto back = decode(f);
    ASSERT_TRUE(back) << back.error().message();
    ASSERT_EQ(back->size(), n);
    for (std::size_t lane = 0; lane < parts.containers.size(); ++lane) {
      const std::span<const float> original(x.data() + lane * lane_length, lane_length);
      EXPECT_EQ(parts.containers[lane], compress_ok(original)) << "lane " << lane;
      const auto expected = quorvel::decompress(parts.containers[lane]);
      ASSERT_TRUE(expected);
      EXPECT_TRUE(std::equal(expected->begin(), expected->end(), back->begin() + lane * lane_length));
    }
  }
}

TEST(Frame, Float64LanesAreEncodedAsFloat32AndComeBackWidened) {
  const std::vector<double> x = {0.1, 0.2, 0.30000000001, 0.4, 0.5, 0.6, 0.7};
  const auto f = encode_ok(x, Shape{7});
  const std::vector<float> narrowed(x.begin(), x.end());
  EXPECT_EQ(hand_parse(f).containers[0], compress_ok(narrowed));
  const auto back = decode<double>(f);
  ASSERT_TRUE(back) << back.error().message();
  const auto expected = quorvel::decompress(compress_ok(narrowed));
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ((*back)[i], static_cast<double>((*expected)[i]));
}

TEST(Frame, GapsAreFilledLinearlyAndHeldAtTheEnds) {
  // Runs at both edges, single gaps and a run inside: the container must be
  // the one of the hand-filled lane.
  const std::vector<float> x = {nan, -inf, 1.0f, nan, nan, 4.0f, inf, 6.0f, 2.0f, nan, nan};
  const std::vector<float> filled = {1.0f, 1.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 2.0f, 2.0f, 2.0f};
  const auto f = encode_ok(x, Shape{11});
  EXPECT_EQ(hand_parse(f).containers[0], compress_ok(filled));
}

TEST(Frame, MasksAreDeflatedBitsAndRestoreEveryNonFiniteValueExactly) {
  // NaN, +inf and -inf at the first and last sample of a lane, in runs and
  // alone, across lanes of a (3, 9) chunk.
  std::vector<float> x = wave(27);
  for (std::size_t i : {0, 1, 2, 13, 26}) x[i] = nan;
  for (std::size_t i : {8, 9, 20}) x[i] = inf;
  for (std::size_t i : {17, 18, 19}) x[i] = -inf;
  const auto f = encode_ok(x, Shape{3, 9});
  const auto parts = hand_parse(f);
  const std::array<std::vector<std::size_t>, 3> marked = {{{0, 1, 2, 13, 26}, {8, 9, 20}, {17, 18, 19}}};
  for (std::size_t m = 0; m < 3; ++m) {
    std::vector<std::uint8_t> bits(4, 0);
    for (std::size_t i : marked[m]) bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    EXPECT_EQ(inflate_raw(parts.masks[m]), bits) << "mask " << m;
  }
  const auto back = decode(f);
  ASSERT_TRUE(back) << back.error().message();
  for (std::size_t i = 0; i < x.size(); ++i) {
    SCOPED_TRACE(i);
    if (std::isfinite(x[i])) {
      EXPECT_TRUE(std::isfinite((*back)[i]));
      EXPECT_NEAR((*back)[i], x[i], 0.05f);  // scale 11 of a range near 3: a few steps
    } else if (std::isnan(x[i])) {
      EXPECT_TRUE(std::isnan((*back)[i]));
    } else {
      EXPECT_EQ((*back)[i], x[i]);
    }
  }
}

TEST(Frame, AimedLanesMeetTheTargetOnTheirFiniteSamples) {
  // A loud lane, a quiet one, and one whose gaps (a long run, and NaN at
  // both ends) the encoder measures as if they were samples: each must meet
  // the target on its own finite samples, measured here in double.
  constexpr std::size_t n = 2000;
  std::vector<float> x(3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i);
    x[i] = 100.0f * std::sin(0.01f * t) + 3.0f * std::sin(0.7f * t);
    x[n + i] = 0.01f * std::sin(0.03f * t);
    x[2 * n + i] = 5.0f * std::sin(0.02f * t) + (i % 7 == 0 ? 0.5f : 0.0f);
  }
  std::fill(x.begin() + 2 * n + 300, x.begin() + 2 * n + 1500, nan);
  x[2 * n] = x[3 * n - 1] = nan;
  using quorvel::TargetKind;
  for (const std::uint16_t format : {1, 2}) {
    for (const quorvel::Target target :
         {quorvel::Target{TargetKind::max_error, 1e-2}, quorvel::Target{TargetKind::rmse, 5e-3},
          quorvel::Target{TargetKind::prd, 0.5}}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(target.kind)) + " format " + std::to_string(format));
      const quorvel::FrameSettings aimed{.target = target, .threads = 2, .format = format};
      const auto f = quorvel::encode_frame(std::span<const float>(x), Shape{3, n}, aimed);
      ASSERT_TRUE(f) << f.error().message();
      // The frame's version is its lanes' container version.
      EXPECT_EQ((*f)[4], format);
      for (const Bytes& lane : hand_parse(*f).containers) EXPECT_EQ(quorvel::container_version(lane), format);
      const auto back = decode(*f);
      ASSERT_TRUE(back) << back.error().message();
      for (std::size_t lane = 0; lane < 3; ++lane) {
        double worst = 0, squares = 0, energy = 0;
        std::size_t finite = 0;
        for (std::size_t i = lane * n; i < (lane + 1) * n; ++i) {
          if (!std::isfinite(x[i])) continue;
          const double e = static_cast<double>((*back)[i]) - x[i];
          worst = std::max(worst, std::abs(e));
          squares += e * e;
          energy += static_cast<double>(x[i]) * x[i];
          ++finite;
        }
        const double measured = target.kind == TargetKind::max_error ? worst
                                : target.kind == TargetKind::rmse
                                    ? std::sqrt(squares / static_cast<double>(finite))
                                    : 100.0 * std::sqrt(squares / energy);
        EXPECT_LE(measured, target.value) << "lane " << lane;
      }
    }
  }
}

// Lanes that need different sizes and figures, one with a gap (whose target
// the frame tightens): a refusal quotes the target as given and names the
// lane that needs the most, with a figure that every lane meets when asked for.
TEST(Frame, ARefusalNamesAFigureThatEveryLaneMeets) {
  constexpr std::size_t n = 600;
  std::mt19937 rng(7);
  std::normal_distribution<float> noise;
  std::vector<float> x(3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = std::sin(0.01f * static_cast<float>(i));
    x[n + i] = 20.0f * noise(rng);
    x[2 * n + i] = 80.0f * noise(rng) + 1000.0f;
  }
  std::fill(x.begin() + 2 * n + 100, x.begin() + 2 * n + 400, nan);
  using quorvel::TargetKind;
  for (const quorvel::Target target : {quorvel::Target{TargetKind::max_bytes, 60}, quorvel::Target{TargetKind::rmse, 1e-9},
                                       quorvel::Target{TargetKind::prd, 1e-9}}) {
    SCOPED_TRACE(static_cast<int>(target.kind));
    const quorvel::FrameSettings aimed{.target = target, .threads = 2, .format = 1};
    const auto refused = quorvel::encode_frame(std::span<const float>(x), Shape{3, n}, aimed);
    ASSERT_FALSE(refused);
    ASSERT_EQ(refused.error().kind(), QuorvelError::Kind::Unreachable);
    EXPECT_EQ(refused.error().target()->value, target.value);
    // The smooth lane can be asked for the finest figure (every lane's smallest container is about the same).
    if (target.kind != TargetKind::max_bytes) {
      EXPECT_NE(refused.error().lane(), 0u);
    }
    const quorvel::Target named{target.kind, *refused.error().best_reachable()};
    const quorvel::FrameSettings retry{.target = named, .threads = 2, .format = 1};
    const auto met = quorvel::encode_frame(std::span<const float>(x), Shape{3, n}, retry);
    EXPECT_TRUE(met) << met.error().message();
  }
}

TEST(Frame, LanesWithoutAFiniteSampleCostNoContainer) {
  std::vector<float> x(4 * 10000, nan);
  for (std::size_t i = 10000; i < 20000; ++i) x[i] = -inf;
  const auto f = encode_ok(x, Shape{4, 10000});
  EXPECT_LT(f.size(), 120u);
  for (const auto& c : hand_parse(f).containers) EXPECT_TRUE(c.empty());
  const auto back = decode(f);
  ASSERT_TRUE(back);
  for (std::size_t i = 0; i < x.size(); ++i) {
    ASSERT_EQ(std::isnan((*back)[i]), std::isnan(x[i])) << i;
    if (!std::isnan(x[i])) {
      ASSERT_EQ((*back)[i], -inf) << i;
    }
  }
}

TEST(Frame, EmptyShapesRoundTrip) {
  for (const Shape& shape : {Shape{0}, Shape{3, 0}, Shape{0, 5}}) {
    SCOPED_TRACE(::testing::PrintToString(shape));
    const auto f = encode_ok(std::vector<float>{}, shape);
    const auto info = quorvel::read_frame_info(f);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->shape, shape);
    EXPECT_EQ(info->sample_count, 0u);
    EXPECT_TRUE(decode(f));
  }
}

TEST(Frame, EncoderRefusesWhatItCannotStore) {
  const std::vector<float> two = {1.0f, 2.0f};
  const std::vector<double> wide = {1.0, 1e300};
  struct Case {
    std::expected<Bytes, QuorvelError> result;
    std::string message;
  };
  const Case cases[] = {
      {quorvel::encode_frame(std::span<const float>(two), Shape{3}, settings),
       "The shape holds 3 samples but the array has 2"},
      {quorvel::encode_frame(std::span<const float>(two), Shape(33, 1), settings),
       "Arrays of 33 axes are not supported (at most 32)"},
      {quorvel::encode_frame(std::span<const float>(two), Shape{std::uint64_t{1} << 62, 4}, settings),
       "Shape holds too many samples"},
      {quorvel::encode_frame(std::span<const double>(wide), Shape{2}, settings),
       "lane 0: sample 1 (" + std::to_string(1e300) + ") is beyond the float32 range"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    ASSERT_FALSE(c.result);
    EXPECT_EQ(c.result.error().message(), c.message);
  }
}

// ---- hostile frames ---------------------------------------------------------

// A frame assembled by hand from its parts.
Bytes hand_frame(const Shape& shape, const std::vector<Bytes>& containers, const std::array<Bytes, 3>& masks = {},
                 std::uint8_t dtype = 0) {
  Bytes f = {'Q', 'R', 'V', 'C', 1, dtype, static_cast<std::uint8_t>(shape.size()), 0};
  for (const auto& m : masks) f.resize(f.size() + 4), put_u32(f, f.size() - 4, static_cast<std::uint32_t>(m.size()));
  for (auto e : shape) {
    f.resize(f.size() + 8);
    put_u32(f, f.size() - 8, static_cast<std::uint32_t>(e));
    put_u32(f, f.size() - 4, static_cast<std::uint32_t>(e >> 32));
  }
  for (const auto& c : containers) f.resize(f.size() + 4), put_u32(f, f.size() - 4, static_cast<std::uint32_t>(c.size()));
  for (const auto& c : containers) f.insert(f.end(), c.begin(), c.end());
  for (const auto& m : masks) f.insert(f.end(), m.begin(), m.end());
  return f;
}

Bytes bits_of(std::initializer_list<std::uint8_t> bytes) { return deflate_raw(Bytes(bytes)); }

TEST(FrameDecode, HostileFramesGetTheirExactError) {
  const Bytes lane5 = compress_ok(wave(5));
  const Bytes lane6 = compress_ok(wave(6));
  const Bytes good = hand_frame(Shape{2, 5}, {lane5, lane5});
  ASSERT_EQ(error_of(good), "decoded");
  auto patched = [&](std::size_t at, std::uint8_t value) {
    Bytes f = good;
    f[at] = value;
    return f;
  };
  Bytes trailing = good;
  trailing.push_back(0);
  Bytes padded_container = lane5;
  padded_container.push_back(0);
  const Bytes huge_claim = hand_frame(Shape{std::uint64_t{1} << 40, std::uint64_t{1} << 20}, {});
  const Bytes bomb_claim = hand_frame(Shape{1, 1u << 30}, {Bytes{}}, {bits_of({0xFF}), {}, {}});

  const std::pair<Bytes, std::string> cases[] = {
      {Bytes(good.begin(), good.begin() + 19), "Frame is too short for its header: 19 bytes"},
      {patched(0, 'X'), "Not a frame: bad magic"},
      {patched(4, 3), "Unsupported frame version 3"},
      {patched(5, 2), "Unknown sample type 2"},
      {patched(7, 8), "Unknown frame flags 8"},
      {patched(7, 1), "Frame is truncated: its parts add up to " + std::to_string(2 * lane5.size() + 4) + " bytes but " +
                          std::to_string(2 * lane5.size()) + " follow the lane table"},
      {patched(6, 33), "Frame is too short for a shape of 33 axes"},
      {patched(6, 200), "Frame is too short for a shape of 200 axes"},
      {huge_claim, "Shape holds too many samples"},
      {hand_frame(Shape{std::uint64_t{1} << 31}, {}), "Lanes of 2147483648 samples exceed the container limit of "
                                                        "2147483647"},
      {hand_frame(Shape{1u << 30, 1}, {}), "Frame is too short for the lane table of 1073741824 lanes"},
      {trailing, "Frame parts add up to " + std::to_string(2 * lane5.size()) + " bytes but " +
                     std::to_string(2 * lane5.size() + 1) + " follow the lane table"},
      {hand_frame(Shape{2, 5}, {lane5, lane6}), "lane 1: the container holds 6 samples but the lane has 5"},
      {hand_frame(Shape{1, 5}, {padded_container}),
       "lane 0: the container is " + std::to_string(lane5.size() + 1) + " bytes but its header and payload make " +
           std::to_string(lane5.size())},
      {hand_frame(Shape{1, 5}, {Bytes(lane5.begin() + 1, lane5.end())}),
       "lane 0: Magic should be 'QRVL' but it was 'RVL\x01'"},
      {hand_frame(Shape{1, 0}, {lane5}), "lane 0: an empty lane has a container"},
      {hand_frame(Shape{1, 100000}, {hand_container({.sample_count = 100000}, zero_payload(8))}),
       "lane 0: a payload of " + std::to_string(zero_payload(8).size()) + " bytes cannot hold 100000 samples"},
      {hand_frame(Shape{2, 5}, {lane5, {}}), "A lane without a container needs a mask"},
      {bomb_claim, "NaN mask of " + std::to_string(bits_of({0xFF}).size()) + " bytes cannot cover 1073741824 samples"},
      {hand_frame(Shape{1, 5}, {{}}, {bits_of({0x1F, 0}), {}, {}}), "NaN mask is not a DEFLATE stream of one bit per "
                                                                   "sample"},
      {hand_frame(Shape{1, 5}, {{}}, {Bytes{1, 2, 3}, {}, {}}), "NaN mask is not a DEFLATE stream of one bit per "
                                                                "sample"},
      {hand_frame(Shape{1, 5}, {{}}, {bits_of({0x3F}), {}, {}}), "NaN mask marks samples beyond the shape"},
      {hand_frame(Shape{1, 5}, {{}}, {bits_of({0x0F}), {}, {}}), "lane 0: no container, yet sample 4 is not masked"},
      {hand_frame(Shape{1, 5}, {lane5}, {bits_of({0x01}), {}, bits_of({0x01})}), "A sample is marked in two masks"},
  };
  for (const auto& [frame, message] : cases) {
    SCOPED_TRACE(message);
    EXPECT_EQ(error_of(frame), message);
  }
}

// A compact frame assembled by hand from its parts, with its CRC-32; `extra` flags are or'ed in.
Bytes hand_compact(const Shape& shape, const std::vector<Bytes>& containers, const std::array<Bytes, 3>& masks = {},
                   std::uint8_t extra = 0) {
  auto leb = [](Bytes& f, std::uint64_t v) {
    for (; v >= 0x80; v >>= 7) f.push_back(static_cast<std::uint8_t>(v | 0x80));
    f.push_back(static_cast<std::uint8_t>(v));
  };
  std::size_t present = 0, samples = containers.size() * (shape.empty() ? 1 : shape.back());
  for (const auto& c : containers) present += !c.empty();
  std::uint8_t flags = 1 | 4 | extra;
  for (std::size_t m = 0; m < 3; ++m) flags |= static_cast<std::uint8_t>(masks[m].empty() ? 0 : 8 << m);
  flags |= present == 0 && samples > 0 ? 64 : present < containers.size() ? 128 : 0;
  Bytes f = {'Q', 'R', 'V', 'C', 1, 0, static_cast<std::uint8_t>(shape.size()), flags};
  for (std::size_t a = 0; a + 1 < shape.size(); ++a) leb(f, shape[a]);
  if (flags & 128) {
    f.resize(f.size() + (containers.size() + 7) / 8, 0);
    for (std::size_t l = 0; l < containers.size(); ++l) {
      f[f.size() - (containers.size() + 7) / 8 + l / 8] |= static_cast<std::uint8_t>(!containers[l].empty() << (l % 8));
    }
  }
  if (!shape.empty() && present == 0) leb(f, shape.back());
  std::vector<std::size_t> with;
  for (std::size_t m = 0; m < 3; ++m) if (!masks[m].empty()) with.push_back(m);
  for (std::size_t k = 0; k + 1 < with.size(); ++k) leb(f, masks[with[k]].size());
  Bytes covered(f);
  for (const auto& c : containers) f.insert(f.end(), c.begin(), c.end());
  for (const auto& m : masks) f.insert(f.end(), m.begin(), m.end()), covered.insert(covered.end(), m.begin(), m.end());
  f.resize(f.size() + 4);
  put_u32(f, f.size() - 4, quorvel::crc32(0, covered));
  return f;
}

TEST(FrameDecode, HostileCompactFramesGetTheirExactError) {
  const Bytes lane5 = compress_ok(wave(5));
  const Bytes lane6 = compress_ok(wave(6));
  const Bytes good = hand_compact(Shape{2, 5}, {lane5, lane5});
  ASSERT_EQ(error_of(good), "decoded");
  ASSERT_EQ(error_of(hand_compact(Shape{3, 5}, {lane5, {}, lane5}, {bits_of({0xE0, 0x03}), {}, {}})), "decoded");
  Bytes damaged = good;
  damaged[8] = 3;  // three lanes: the walk runs out of bytes
  Bytes flipped = good;
  flipped[flipped.size() - 1] ^= 1;
  Bytes unmasked = hand_compact(Shape{2, 5}, {lane5, lane5});
  unmasked.insert(unmasked.end() - 4, 0);
  const std::pair<Bytes, std::string> cases[] = {
      {hand_compact(Shape{2, 5}, {lane5, lane6}), "lane 1: the container holds 6 samples but the lane has 5"},
      {hand_compact(Shape{2, 5}, {lane5, {}}), "A lane without a container needs a mask"},
      {hand_compact(Shape{2, 5}, {lane5, lane5}, {}, 64 | 128), "Frame flags say both no container and a lane bitmap"},
      {hand_compact(Shape{1, 1u << 30}, {Bytes{}}, {bits_of({0xFF}), {}, {}}),
       "NaN mask of " + std::to_string(bits_of({0xFF}).size()) + " bytes cannot cover 1073741824 samples"},
      {hand_compact(Shape{std::uint64_t{1} << 40, std::uint64_t{1} << 20}, {Bytes{}}, {bits_of({0xFF}), {}, {}}),
       "Shape holds too many samples"},
      {hand_compact(Shape{1, 5}, {{}}, {bits_of({0x0F}), {}, {}}), "lane 0: no container, yet sample 4 is not masked"},
      {flipped, "Frame damaged: the CRC-32 of its header, shape, reference table and masks fails"},
      {unmasked, "Frame parts do not add up: 1 bytes follow the containers of a frame without masks"},
      {Bytes(good.begin(), good.begin() + 12), "Frame is truncated: no room for its CRC-32"},
      {Bytes(good.begin(), good.begin() + 40), "lane 0: Header is invalid"},
  };
  for (const auto& [frame, message] : cases) {
    SCOPED_TRACE(message);
    EXPECT_EQ(error_of(frame), message);
  }
  EXPECT_NE(error_of(damaged), "decoded");
}

TEST(FrameDecode, OutputMustMatchTheFramesTypeAndSize) {
  const auto f = encode_ok(wave(6), Shape{2, 3});
  std::vector<double> wide(6);
  std::vector<float> small(5);
  EXPECT_EQ(quorvel::decode_frame(f, std::span<double>(wide)).error().message(),
            "The frame holds samples of the other floating-point type");
  EXPECT_EQ(quorvel::decode_frame(f, std::span<float>(small)).error().message(),
            "The frame holds 6 samples but the output has room for 5");
}

TEST(FrameDecode, EveryPrefixAndRandomByteFlipsFailCleanly) {
  std::vector<float> x = wave(3 * 40);
  x[0] = nan;
  x[50] = inf;
  x[119] = -inf;
  const quorvel::FrameSettings version_2{.target = quorvel::Target{quorvel::TargetKind::rmse, 0.01}, .format = 2};
  for (const Bytes& f : {encode_ok(x, Shape{3, 40}), quorvel::encode_frame(std::span<const float>(x), Shape{3, 40},
                                                                            version_2).value()}) {
  for (std::size_t n = 0; n < f.size(); ++n) {
    const auto r = decode(std::span<const std::uint8_t>(f.data(), n));
    ASSERT_FALSE(r) << "prefix of " << n << " bytes decoded";
    ASSERT_FALSE(r.error().message().empty());
  }
  // A flip may land where the decoder cannot tell (a payload bit that still
  // inflates); it must then decode to the right shape. Otherwise it fails
  // with a message. Either way, under the sanitizers, no bad access.
  std::mt19937 random(14);
  for (int trial = 0; trial < 3000; ++trial) {
    Bytes g = f;
    const int flips = 1 + trial % 3;
    for (int k = 0; k < flips; ++k) g[random() % g.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
    const auto r = decode(g);
    if (r) {
      ASSERT_EQ(r->size(), x.size());
    } else {
      ASSERT_FALSE(r.error().message().empty());
    }
  }
  }
}

TEST(FrameDecode, LanesAreContainersOfTheFramesVersion) {
  std::vector<float> x = wave(2 * 300);
  x[7] = nan;
  const quorvel::FrameSettings version_2{.target = quorvel::Target{quorvel::TargetKind::max_error, 0.01}, .format = 2};
  // Without the frame's CRC-32, which would name the damage first.
  constexpr auto table = quorvel::FrameLayout::lane_table;
  Bytes second = unchecked(quorvel::encode_frame(std::span<const float>(x), Shape{2, 300}, version_2, true, table).value());
  Bytes first = unchecked(encode_ok(x, Shape{2, 300}, table));
  // A version-2 frame read as version 1 (and the other way round) meets a
  // container of the other version in its first lane.
  second[4] = 1;
  EXPECT_EQ(error_of(second), std::string("lane 0: Invalid header version '\x02") + '\0' + "'");
  second[4] = 2;
  first[4] = 2;
  EXPECT_EQ(error_of(first), std::string("lane 0: Invalid header version '\x01") + '\0' + "'");
  first[4] = 3;
  EXPECT_EQ(error_of(first), "Unsupported frame version 3");
  // The float64 frame of version 2 decodes to the same samples, widened.
  const std::vector<double> wide(x.begin(), x.end());
  const auto f64 = quorvel::encode_frame(std::span<const double>(wide), Shape{2, 300}, version_2).value();
  const auto narrow = decode(second).value();
  const auto widened = decode<double>(f64).value();
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isnan(x[i])) continue;
    EXPECT_LE(std::abs(widened[i] - x[i]), 0.01);
    EXPECT_LE(std::abs(narrow[i] - x[i]), 0.01);
  }
  // Version 2 needs a target, and takes no method.
  EXPECT_EQ(quorvel::encode_frame(std::span<const float>(x), Shape{2, 300}, {.format = 2}).error().message(),
            "Version-2 containers are encoded to a target; fixed method, scale and cutoff write version 1");
}

}  // namespace
