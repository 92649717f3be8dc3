// The container header: parser check order, field round trip, options packing.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "codec/codec.hpp"
#include "codec/v1/wavelet.hpp"

namespace {

using quorvel::CompressionMethod;
using quorvel::CompressionOptions;
using quorvel::CutoffLevel;
using quorvel::QuorvelError;
using quorvel::QuorvelHeader;
using namespace std::string_literals;

void put_u32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_f32(std::vector<std::uint8_t>& b, std::size_t at, float v) { put_u32(b, at, std::bit_cast<std::uint32_t>(v)); }

// A valid header assembled byte by byte, independently of the writer.
std::vector<std::uint8_t> valid_header_bytes() {
  const std::uint8_t head[] = {'Q', 'R', 'V', 'L', 0x01, 0x00, 'f', '3', 'c', 'f', '5', '3', 4, 11, 0, 0};
  std::vector<std::uint8_t> b(52, 0);
  std::copy(std::begin(head), std::end(head), b.begin());
  put_u32(b, 16, 100);
  put_f32(b, 20, -1.5f);
  put_f32(b, 24, 2.5f);
  put_f32(b, 28, 0.25f);
  put_u32(b, 32, 77);
  return b;
}

TEST(QuorvelHeader, ParsesEveryFieldOfAHandBuiltHeader) {
  auto bytes = valid_header_bytes();
  bytes[14] = 0xAB;  // reserved fields are kept as stored
  bytes[15] = 0xCD;
  for (std::size_t i = 36; i < 52; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  const auto h = QuorvelHeader::from_bytes(bytes);
  ASSERT_TRUE(h.has_value()) << h.error().message();
  EXPECT_EQ(h->magic, (std::array<std::uint8_t, 4>{'Q', 'R', 'V', 'L'}));
  EXPECT_EQ(h->version, 1);
  EXPECT_EQ(h->format_tag, (std::array<std::uint8_t, 2>{'f', '3'}));
  EXPECT_EQ(h->method_tag, (std::array<std::uint8_t, 4>{'c', 'f', '5', '3'}));
  EXPECT_EQ(h->levels, 4);
  EXPECT_EQ(h->scale, 11);
  EXPECT_EQ(h->reserved, 0xCDAB);
  EXPECT_EQ(h->sample_count, 100u);
  EXPECT_EQ(h->minimum, -1.5f);
  EXPECT_EQ(h->maximum, 2.5f);
  EXPECT_EQ(h->mean, 0.25f);
  EXPECT_EQ(h->payload_length, 77u);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(h->reserved_bytes[i], 36 + i);
}

// The codec's own reading names the method, and writes back the very bytes.
TEST(ContainerHeader, ReadsTheMethodAsAnEnumeratorAndWritesTheSameBytes) {
  const auto bytes = valid_header_bytes();
  const auto h = quorvel::ContainerHeader::parse(bytes);
  ASSERT_TRUE(h.has_value()) << h.error().message();
  EXPECT_EQ(h->method, CompressionMethod::cdf53);
  const auto written = h->to_bytes();
  EXPECT_EQ(std::vector<std::uint8_t>(written.begin(), written.end()), bytes);
  auto bad = bytes;
  bad[0] = 'X';
  EXPECT_EQ(quorvel::ContainerHeader::parse(bad).error(), QuorvelHeader::from_bytes(bad).error());
}

TEST(QuorvelHeader, ChecksFailInTheirFixedOrder) {
  const auto with = [](auto&& edit) {
    auto b = valid_header_bytes();
    edit(b);
    return b;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::string text;
  } rows[] = {
      {"51 bytes", with([](auto& b) { b.resize(51); }), "Header is invalid"},
      {"empty", {}, "Header is invalid"},
      {"magic and version wrong: magic first",
       with([](auto& b) { b[0] = 'A', b[1] = 'B', b[2] = 'C', b[3] = 'D', b[4] = 9; }),
       "Magic should be 'QRVL' but it was 'ABCD'"},
      {"magic with 0xFF", with([](auto& b) { b[1] = 0xFF; }), "Magic should be 'QRVL' but it was '?\?\?\?'"},
      {"version big-endian 1", with([](auto& b) { b[4] = 0, b[5] = 1; }),
       "Invalid header version '\0\x01'"s},
      {"version and format tag wrong: version first", with([](auto& b) { b[4] = 2, b[6] = 'x'; }),
       "Invalid header version '\x02\0'"s},
      {"format tag and method wrong: tag first", with([](auto& b) { b[7] = '4', b[8] = 'C'; }),
       "Invalid compression method 'f4'"},
      {"method in capitals", with([](auto& b) { b[8] = 'C', b[9] = 'F'; }), "Invalid compression method 'CF53'"},
      {"method cdf5", with([](auto& b) { b[8] = 'c', b[9] = 'd', b[10] = 'f', b[11] = '5'; }),
       "Invalid compression method 'cdf5'"},
      {"method and mean wrong: method first", with([&](auto& b) { b[8] = 'x', put_f32(b, 28, inf); }),
       "Invalid compression method 'xf53'"},
      {"minimum NaN", with([](auto& b) { put_f32(b, 20, std::numeric_limits<float>::quiet_NaN()); }),
       "Header is invalid"},
      {"maximum -inf", with([&](auto& b) { put_f32(b, 24, -inf); }), "Header is invalid"},
      {"mean +inf", with([&](auto& b) { put_f32(b, 28, inf); }), "Header is invalid"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const auto h = QuorvelHeader::from_bytes(row.bytes);
    ASSERT_FALSE(h.has_value());
    EXPECT_EQ(h.error().message(), row.text);
  }
}

TEST(QuorvelHeader, AcceptsEdgeValuesTheDecoderChecksLater) {
  const auto edit_and_parse = [](auto&& edit) {
    auto b = valid_header_bytes();
    edit(b);
    return QuorvelHeader::from_bytes(b);
  };
  const auto neg_zero = edit_and_parse([](auto& b) { put_f32(b, 20, -0.0f); });
  ASSERT_TRUE(neg_zero.has_value());
  EXPECT_TRUE(std::signbit(neg_zero->minimum));

  const float subnormal = std::numeric_limits<float>::denorm_min();
  const auto tiny = edit_and_parse([&](auto& b) { put_f32(b, 20, subnormal); });
  ASSERT_TRUE(tiny.has_value());
  EXPECT_EQ(tiny->minimum, subnormal);

  const auto odd = edit_and_parse([](auto& b) {
    b[12] = 0, b[13] = 255;
    put_u32(b, 16, 0xFFFFFFFF);
    put_u32(b, 32, 0xFFFFFFFF);
  });
  ASSERT_TRUE(odd.has_value());
  EXPECT_EQ(odd->levels, 0);
  EXPECT_EQ(odd->scale, 255);
  EXPECT_EQ(odd->sample_count, 0xFFFFFFFFu);
  EXPECT_EQ(odd->payload_length, 0xFFFFFFFFu);

  // Only the first 52 bytes are read; anything after is the payload's business.
  auto longer = valid_header_bytes();
  longer.resize(200, 0xEE);
  EXPECT_TRUE(QuorvelHeader::from_bytes(longer).has_value());
}

TEST(QuorvelHeader, EveryMethodTagParses) {
  for (const auto& [method, tag_bytes, name, wavelet] : quorvel::method_rows) {
    auto b = valid_header_bytes();
    const auto tag = quorvel::method_tag(method);
    std::copy(tag.begin(), tag.end(), b.begin() + 8);
    const auto h = QuorvelHeader::from_bytes(b);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(quorvel::method_from_tag(h->method_tag), method);
  }
  EXPECT_EQ(quorvel::method_tag(CompressionMethod::db4), (std::array<std::uint8_t, 4>{'d', 'b', '0', '4'}));
  EXPECT_EQ(quorvel::method_tag(CompressionMethod::sym4), (std::array<std::uint8_t, 4>{'s', 'y', 'm', '4'}));
}

TEST(QuorvelHeader, WriterLaysOutTheHandBuiltBytesAndParsesBack) {
  const QuorvelHeader h{
      .magic = quorvel::header_magic,
      .version = 1,
      .format_tag = quorvel::header_format_tag,
      .method_tag = quorvel::method_tag(CompressionMethod::cdf53),
      .levels = 4,
      .scale = 11,
      .reserved = 0,
      .sample_count = 100,
      .minimum = -1.5f,
      .maximum = 2.5f,
      .mean = 0.25f,
      .payload_length = 77,
      .reserved_bytes = {},
  };
  const auto bytes = h.to_bytes();
  const auto expected = valid_header_bytes();
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end()));
  const auto parsed = QuorvelHeader::from_bytes(bytes);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed, h);

  QuorvelHeader odd = h;
  odd.reserved = 0xBEEF;
  odd.reserved_bytes.fill(0x5A);
  odd.minimum = -0.0f;
  odd.sample_count = 0x89ABCDEF;
  const auto round = QuorvelHeader::from_bytes(odd.to_bytes());
  ASSERT_TRUE(round.has_value());
  EXPECT_EQ(*round, odd);
  EXPECT_TRUE(std::signbit(round->minimum));
}

TEST(CompressionOptions, PacksCutoffMethodAndScaleIntoOneWord) {
  constexpr CompressionOptions defaults;
  static_assert(defaults.packed() == 0x0B0100);
  static_assert(defaults.method() == CompressionMethod::cdf97);
  static_assert(defaults.cutoff() == CutoffLevel::low);
  static_assert(defaults.scale() == 11);
  static_assert(CompressionOptions(CompressionMethod::cdf97, 11, CutoffLevel::low) == defaults);

  constexpr CompressionOptions built(CompressionMethod::sym4, 6, CutoffLevel::high);
  static_assert(built.packed() == 0x060302);
  const CompressionOptions unpacked(0x0C0201u);
  EXPECT_EQ(unpacked.method(), CompressionMethod::db4);
  EXPECT_EQ(unpacked.cutoff(), CutoffLevel::medium);
  EXPECT_EQ(unpacked.scale(), 12);
}

// Rows are in code order with distinct tags and names, and each builds the
// wavelet it names (filter lengths 6, 10, 8, 8: the two lifting schemes' and
// the 8-tap filter banks').
TEST(CompressionMethod, TableRowsAgreeWithTheirExecutors) {
  constexpr std::size_t filter_lengths[] = {6, 10, 8, 8};
  ASSERT_EQ(quorvel::method_rows.size(), std::size(filter_lengths));
  for (std::size_t code = 0; code < quorvel::method_rows.size(); ++code) {
    const auto& row = quorvel::method_rows[code];
    EXPECT_EQ(static_cast<std::size_t>(row.method), code);
    EXPECT_EQ(quorvel::method_executor(row.method)->filter_length(), filter_lengths[code]) << row.name;
    EXPECT_EQ(quorvel::method_from_tag(row.tag), row.method) << row.name;
    EXPECT_EQ(quorvel::from_name<CompressionMethod>(row.name), row.method) << row.name;
  }
  EXPECT_EQ(quorvel::from_name<CompressionMethod>("CDF53"), std::nullopt);
  EXPECT_EQ(quorvel::names_text(CompressionMethod::cdf97), "'cdf97' or 'cdf53' or 'db4' or 'sym4'");
}

// The names callers pass, in enumerator order; Python spells them the same.
TEST(Vocabulary, EveryEnumeratorHasItsNameBothWays) {
  const auto round_trips = [](auto first, std::initializer_list<std::string_view> names) {
    using E = decltype(first);
    std::size_t code = 0;
    for (const std::string_view name : names) {
      const auto value = static_cast<E>(code++);
      EXPECT_EQ(quorvel::name_of(value), name);
      EXPECT_EQ(quorvel::from_name<E>(name), value) << name;
      EXPECT_TRUE(quorvel::is_known(value));
    }
    EXPECT_FALSE(quorvel::is_known(static_cast<E>(code)));
    EXPECT_EQ(quorvel::name_of(static_cast<E>(code)), "");
  };
  round_trips(CompressionMethod{}, {"cdf53", "cdf97", "db4", "sym4"});
  round_trips(CutoffLevel{}, {"low", "medium", "high"});
  round_trips(quorvel::TargetKind{}, {"max_error", "rmse", "prd", "max_bytes"});
  round_trips(quorvel::Effort{}, {"fast", "default", "best"});
  EXPECT_EQ(quorvel::from_name<quorvel::Effort>("normal"), std::nullopt);
}

}  // namespace
