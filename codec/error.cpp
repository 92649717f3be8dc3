// codec/error.cpp: display texts of the codec's errors.
#include "codec/error.hpp"

#include <ostream>
#include <sstream>

namespace quorvel {

bool is_valid_utf8(std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // Lead bytes C0, C1 and F5..FF never start a well-formed sequence; the
    // permitted range of the first continuation byte excludes overlongs (E0, F0),
    // surrogates U+D800..U+DFFF (ED) and code points above U+10FFFF (F4).
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (n - i < length) return false;
    if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

namespace {

// Raw header bytes go in unchanged when they form valid UTF-8 (control
// characters and NUL included), otherwise one question mark per byte.
void write_bytes_as_text(std::ostream& out, std::span<const std::uint8_t> bytes) {
  if (is_valid_utf8(bytes)) {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  } else {
    out << std::string(bytes.size(), '?');
  }
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const QuorvelError& error) {
  using Kind = QuorvelError::Kind;
  const std::span<const std::uint8_t> four(error.bytes_);
  const auto two = four.first(2);
  switch (error.kind_) {
    case Kind::InvalidCompressionMethod:
      out << "Invalid compression method '";
      write_bytes_as_text(out, four);
      return out << '\'';
    case Kind::InvalidMagic:
      out << "Magic should be 'QRVL' but it was '";
      write_bytes_as_text(out, four);
      return out << '\'';
    case Kind::InvalidFormatTag:
      out << "Invalid compression method '";
      write_bytes_as_text(out, two);
      return out << '\'';
    case Kind::InvalidHeaderVersion:
      out << "Invalid header version '";
      write_bytes_as_text(out, two);
      return out << '\'';
    case Kind::TransformFailed:
    case Kind::DeflateFailed:
      return out << error.text_;
    // Numbers go through to_string so that a locale imbued in the sink never
    // adds grouping.
    case Kind::OutOfMemory:
      return out << "Out of memory, can't allocate additional " << std::to_string(error.number_);
    case Kind::InvalidHeader:
      return out << "Header is invalid";
    case Kind::UnsupportedConfiguration:
      return out << "Unsupported compression configuration '" << error.text_ << '\'';
    case Kind::DecompressionFailed:
      return out << "Can't decompress data, reason: " << error.text_;
    case Kind::UnsupportedScale:
      return out << "Only scaled 6..12 is supported, but it was " << std::to_string(error.number_);
  }
  return out;
}

std::string QuorvelError::message() const {
  std::ostringstream out;
  out << *this;
  return std::move(out).str();
}

}  // namespace quorvel
