// codec/common/error.cpp: display texts of the codec's errors.
#include "codec/common/error.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// `text` and the raw bytes between single quotes.
std::ostream& write_quoted(std::ostream& out, const char* text, std::span<const std::uint8_t> bytes) {
  out << text << " '";
  write_bytes_as_text(out, bytes);
  return out << '\'';
}

}  // namespace

std::string figure(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

namespace {

// A byte count in whole bytes, never in exponent form.
std::string bytes_text(double count) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", count);
  return std::string(text) + (count == 1 ? " byte" : " bytes");
}

// The figure of `value` as `figure` writes it, rounded up rather than to the
// nearest: a user who asks for the figure a message names is asking for at
// least the value.
std::string figure_at_least(double value) {
  std::string text = figure(value);
  if (!(std::strtod(text.c_str(), nullptr) < value)) return text;
  const double unit = std::pow(10.0, std::floor(std::log10(value)) - 5);  // of the sixth digit
  for (double up = std::ceil(value / unit) * unit;; up += unit) {
    text = figure(up);
    if (std::strtod(text.c_str(), nullptr) >= value) return text;
  }
}

std::string target_text(TargetKind kind, const std::string& value) {
  switch (kind) {
    case TargetKind::max_error: return "a max error of " + value;
    case TargetKind::rmse: return "an RMSE of " + value;
    case TargetKind::prd: return "a PRD of " + value + " %";
    case TargetKind::max_bytes: break;
  }
  return value;
}

// The target as the caller gave it, and what to ask for instead: the finest
// figure, or the smallest size, the encoder can deliver. In a frame the
// target, a budget too, holds for each lane.
std::ostream& write_unreachable(std::ostream& out, Target target, double best, bool lane) {
  if (target.kind == TargetKind::max_bytes) {
    return out << "Can't fit this " << (lane ? "lane" : "signal") << " in " << bytes_text(target.value)
               << ": ask for " << bytes_text(std::ceil(best)) << " or more" << (lane ? " per lane" : "");
  }
  const std::string best_text = figure_at_least(best);
  return out << "Can't reach " << target_text(target.kind, figure(target.value)) << " on this "
             << (lane ? "lane" : "signal") << ": ask for "
             << (target.kind == TargetKind::prd ? best_text + " %" : best_text) << " or more";
}

constexpr std::array<std::string_view, 18> kind_names = {
    "invalid_compression_method", "invalid_magic",   "invalid_format_tag",
    "invalid_header_version",     "transform_failed", "deflate_failed",
    "out_of_memory",              "invalid_header",  "unsupported_configuration",
    "decompression_failed",       "unsupported_scale", "invalid_input",
    "invalid_target",             "invalid_options", "unreachable",
    "invalid_frame",              "invalid_container", "damaged_container",
};
static_assert(kind_names.size() == static_cast<std::size_t>(QuorvelError::Kind::DamagedContainer) + 1);

}  // namespace

std::string_view QuorvelError::kind_name() const { return kind_names[static_cast<std::size_t>(kind_)]; }

std::ostream& operator<<(std::ostream& out, const QuorvelError& error) {
  using Kind = QuorvelError::Kind;
  const std::span<const std::uint8_t> four(error.bytes_);
  const auto two = four.first(2);
  if (error.lane_) out << "lane " << std::to_string(*error.lane_) << ": ";
  switch (error.kind_) {
    case Kind::InvalidCompressionMethod: return write_quoted(out, "Invalid compression method", four);
    case Kind::InvalidMagic: return write_quoted(out, "Magic should be 'QRVL' but it was", four);
    case Kind::InvalidFormatTag: return write_quoted(out, "Invalid compression method", two);
    case Kind::InvalidHeaderVersion: return write_quoted(out, "Invalid header version", two);
    case Kind::TransformFailed:
    case Kind::DeflateFailed:
    case Kind::InvalidInput:
    case Kind::InvalidTarget:
    case Kind::InvalidOptions:
    case Kind::InvalidFrame:
      return out << error.text_;
    case Kind::Unreachable:
      return write_unreachable(out, error.target_.value_or(Target{}), error.best_.value_or(0.0), error.lane_.has_value());
    case Kind::InvalidContainer:
      return out << "Invalid version-2 container: " << error.text_;
    case Kind::DamagedContainer:
      return out << "The container is damaged: block " << std::to_string(error.number_)
                 << " fails its CRC-32 check";
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
