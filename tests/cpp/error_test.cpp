// Display texts of the codec's errors are what a Python caller reads: pin each.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "codec/codec.hpp"

namespace {

using quorvel::QuorvelError;
using namespace std::string_literals;

TEST(QuorvelError, EveryDisplayTextReadsExactly) {
  const struct {
    QuorvelError error;
    std::string text;
  } rows[] = {
      {QuorvelError::invalid_compression_method({'x', 'x', 'x', 'x'}), "Invalid compression method 'xxxx'"},
      {QuorvelError::invalid_magic({'A', 'B', 'C', 'D'}), "Magic should be 'QRVL' but it was 'ABCD'"},
      {QuorvelError::invalid_magic({'Q', 0xFF, 'V', 'L'}), "Magic should be 'QRVL' but it was '?\?\?\?'"},
      {QuorvelError::invalid_format_tag({'g', '4'}), "Invalid compression method 'g4'"},
      {QuorvelError::invalid_format_tag({0xC3, 0x28}), "Invalid compression method '?\?'"},
      {QuorvelError::invalid_header_version({0x02, 0x00}), "Invalid header version '\x02\0'"s},
      {QuorvelError::invalid_header_version({0xFF, 0xFF}), "Invalid header version '?\?'"},
      {QuorvelError::transform_failed("Input size 2 can't be less than 3"), "Input size 2 can't be less than 3"},
      {QuorvelError::deflate_failed("deflate stream could not be finished"), "deflate stream could not be finished"},
      {QuorvelError::out_of_memory(1000), "Out of memory, can't allocate additional 1000"},
      {QuorvelError::out_of_memory(18446744073709551615u),
       "Out of memory, can't allocate additional 18446744073709551615"},
      {QuorvelError::invalid_header(), "Header is invalid"},
      {QuorvelError::unsupported_configuration("Can't compress empty data"),
       "Unsupported compression configuration 'Can't compress empty data'"},
      {QuorvelError::decompression_failed("Max supported level is 10 but it was 11"),
       "Can't decompress data, reason: Max supported level is 10 but it was 11"},
      {QuorvelError::unsupported_scale(13), "Only scaled 6..12 is supported, but it was 13"},
      {QuorvelError::unsupported_scale(5), "Only scaled 6..12 is supported, but it was 5"},
      {QuorvelError::invalid_input("Can't compress empty data"), "Can't compress empty data"},
      {QuorvelError::invalid_frame("Not a frame: bad magic"), "Not a frame: bad magic"},
      // The figure to ask for is rounded up, so that asking for it asks for at least the value.
      {QuorvelError::unreachable({quorvel::TargetKind::max_error, 1e-9}, 2.0027222e-05),
       "Can't reach a max error of 1e-09 on this signal: ask for 2.00273e-05 or more"},
      {QuorvelError::unreachable({quorvel::TargetKind::rmse, 0.5}, 0.75),
       "Can't reach an RMSE of 0.5 on this signal: ask for 0.75 or more"},
      {QuorvelError::unreachable({quorvel::TargetKind::prd, 1e-4}, 8.3488499e-3),
       "Can't reach a PRD of 0.0001 % on this signal: ask for 0.00834885 % or more"},
      {QuorvelError::unreachable({quorvel::TargetKind::prd, 0.1}, 9.9999995),
       "Can't reach a PRD of 0.1 % on this signal: ask for 10 % or more"},
      {QuorvelError::unreachable({quorvel::TargetKind::max_bytes, 40}, 65),
       "Can't fit this signal in 40 bytes: ask for 65 bytes or more"},
      {QuorvelError::unreachable({quorvel::TargetKind::max_bytes, 12345678}, 123456789),
       "Can't fit this signal in 12345678 bytes: ask for 123456789 bytes or more"},
      {QuorvelError::unreachable({quorvel::TargetKind::max_bytes, 1}, 242).in_lane(2),
       "lane 2: Can't fit this lane in 1 byte: ask for 242 bytes or more per lane"},
      {QuorvelError::invalid_header().in_lane(3), "lane 3: Header is invalid"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(row.error.message(), row.text);
    std::ostringstream sink;
    sink << row.error;
    EXPECT_EQ(sink.str(), row.text);
  }
}

TEST(QuorvelError, ValidUtf8TagBytesAreInsertedUnchanged) {
  // A two-byte character (U+00E9) fills a 2-byte tag; a four-byte one (U+1F600)
  // fills a 4-byte tag; NUL and control characters are valid UTF-8 too.
  EXPECT_EQ(QuorvelError::invalid_format_tag({0xC3, 0xA9}).message(), "Invalid compression method '\xC3\xA9'");
  EXPECT_EQ(QuorvelError::invalid_compression_method({0xF0, 0x9F, 0x98, 0x80}).message(),
            "Invalid compression method '\xF0\x9F\x98\x80'");
  EXPECT_EQ(QuorvelError::invalid_magic({0, '\n', 0x7F, 0}).message(),
            "Magic should be 'QRVL' but it was '\0\n\x7F\0'"s);
}

TEST(Utf8, ValidatorAcceptsExactlyWellFormedSequences) {
  const struct {
    std::vector<std::uint8_t> bytes;
    bool valid;
    const char* what;
  } rows[] = {
      {{}, true, "empty"},
      {{'a', 0, 0x7F}, true, "ASCII with NUL and DEL"},
      {{0xC2, 0x80}, true, "smallest two-byte form U+0080"},
      {{0xDF, 0xBF}, true, "largest two-byte form U+07FF"},
      {{0xE0, 0xA0, 0x80}, true, "smallest three-byte form U+0800"},
      {{0xED, 0x9F, 0xBF}, true, "U+D7FF just below the surrogates"},
      {{0xEE, 0x80, 0x80}, true, "U+E000 just above the surrogates"},
      {{0xF0, 0x90, 0x80, 0x80}, true, "smallest four-byte form U+10000"},
      {{0xF4, 0x8F, 0xBF, 0xBF}, true, "U+10FFFF"},
      {{0x80}, false, "stray continuation byte"},
      {{0xC0, 0x80}, false, "overlong NUL"},
      {{0xC1, 0xBF}, false, "overlong U+007F"},
      {{0xE0, 0x9F, 0xBF}, false, "overlong three-byte form"},
      {{0xF0, 0x8F, 0xBF, 0xBF}, false, "overlong four-byte form"},
      {{0xED, 0xA0, 0x80}, false, "surrogate U+D800"},
      {{0xED, 0xBF, 0xBF}, false, "surrogate U+DFFF"},
      {{0xF4, 0x90, 0x80, 0x80}, false, "U+110000"},
      {{0xF5, 0x80, 0x80, 0x80}, false, "lead byte F5"},
      {{0xFF, 0xFF}, false, "bytes FF"},
      {{0xC3}, false, "truncated two-byte form"},
      {{'a', 0xE2, 0x82}, false, "truncated three-byte form"},
      {{0xC3, 0x28}, false, "lead byte followed by ASCII"},
      {{0xE2, 0x82, 0x28}, false, "third byte not a continuation"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(quorvel::is_valid_utf8(row.bytes), row.valid);
  }
}

// What callers in other languages read besides the text.
TEST(QuorvelError, KindNameLaneAndUnreachablePayload) {
  const auto error = QuorvelError::unreachable({quorvel::TargetKind::prd, 2.0}, 3.5).in_lane(7);
  EXPECT_EQ(error.kind(), QuorvelError::Kind::Unreachable);
  EXPECT_EQ(error.kind_name(), "unreachable");
  EXPECT_EQ(error.lane(), 7u);
  EXPECT_EQ(error.target(), (quorvel::Target{quorvel::TargetKind::prd, 2.0}));
  EXPECT_EQ(error.best_reachable(), 3.5);
  EXPECT_EQ(QuorvelError::invalid_magic({'A', 'B', 'C', 'D'}).kind_name(), "invalid_magic");
  EXPECT_EQ(QuorvelError::invalid_frame("x").kind_name(), "invalid_frame");
  EXPECT_EQ(QuorvelError::invalid_header().lane(), std::nullopt);
  EXPECT_EQ(QuorvelError::invalid_header().best_reachable(), std::nullopt);
}

TEST(QuorvelError, IsAComparableMovableValue) {
  QuorvelError a = QuorvelError::decompression_failed("corrupt deflate stream");
  const QuorvelError copy = a;
  const QuorvelError moved = std::move(a);
  EXPECT_EQ(moved, copy);
  EXPECT_EQ(moved.kind(), QuorvelError::Kind::DecompressionFailed);
  EXPECT_NE(copy, QuorvelError::decompression_failed("other"));
  EXPECT_NE(QuorvelError::transform_failed("x"), QuorvelError::deflate_failed("x"));
}

}  // namespace
