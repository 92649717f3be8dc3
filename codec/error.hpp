// codec/error.hpp: the signal codec's one error type and its display texts.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <utility>
#include <variant>

namespace quorvel {

// Every failure of compress, decompress and the header parser. A variant carries
// exactly the values its text needs; the text is built on demand by the display.
class QuorvelError {
 public:
  enum class Kind : std::uint8_t {
    InvalidCompressionMethod,
    InvalidMagic,
    InvalidFormatTag,
    InvalidHeaderVersion,
    TransformFailed,
    DeflateFailed,
    OutOfMemory,
    InvalidHeader,
    UnsupportedConfiguration,
    DecompressionFailed,
    UnsupportedScale,
  };

  using Bytes4 = std::array<std::uint8_t, 4>;
  using Bytes2 = std::array<std::uint8_t, 2>;

  // The four header variants carry the raw bytes exactly as stored.
  static QuorvelError invalid_compression_method(Bytes4 tag) { return {Kind::InvalidCompressionMethod, tag}; }
  static QuorvelError invalid_magic(Bytes4 magic) { return {Kind::InvalidMagic, magic}; }
  static QuorvelError invalid_format_tag(Bytes2 tag) { return {Kind::InvalidFormatTag, tag}; }
  static QuorvelError invalid_header_version(Bytes2 version) { return {Kind::InvalidHeaderVersion, version}; }
  static QuorvelError transform_failed(std::string text) { return {Kind::TransformFailed, std::move(text)}; }
  static QuorvelError deflate_failed(std::string text) { return {Kind::DeflateFailed, std::move(text)}; }
  static QuorvelError out_of_memory(std::uint64_t count) { return {Kind::OutOfMemory, count}; }
  static QuorvelError invalid_header() { return {Kind::InvalidHeader, std::monostate{}}; }
  static QuorvelError unsupported_configuration(std::string text) {
    return {Kind::UnsupportedConfiguration, std::move(text)};
  }
  static QuorvelError decompression_failed(std::string text) { return {Kind::DecompressionFailed, std::move(text)}; }
  static QuorvelError unsupported_scale(std::uint8_t scale) { return {Kind::UnsupportedScale, std::uint64_t{scale}}; }

  [[nodiscard]] Kind kind() const { return kind_; }
  // The display text, exactly as a caller reads it.
  [[nodiscard]] std::string message() const;

  friend std::ostream& operator<<(std::ostream& out, const QuorvelError& error);
  friend bool operator==(const QuorvelError&, const QuorvelError&) = default;

 private:
  using Payload = std::variant<std::monostate, Bytes4, Bytes2, std::string, std::uint64_t>;
  QuorvelError(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

  Kind kind_;
  Payload payload_;
};

// True when the whole sequence is well-formed UTF-8: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated or stray continuation bytes.
[[nodiscard]] bool is_valid_utf8(std::span<const std::uint8_t> bytes);

}  // namespace quorvel
