// codec/common/error.hpp: the signal codec's one error type and its display texts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "codec/common/vocabulary.hpp"

namespace quorvel {

// Every failure of the codec: the header parser, the plain and the aimed
// encoder, the decoder and chunk frames. A kind carries exactly the values its
// text needs; the text is built on demand by the display (error.cpp holds
// every frame around them).
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
    InvalidInput,    // samples or an array that the aimed encoder or a frame cannot take
    InvalidTarget,   // a target value that is negative, NaN or infinite, or of no known kind
    InvalidOptions,  // a method or effort outside its enumeration
    Unreachable,     // no container meets the target; best_reachable() says what can be met
    InvalidFrame,    // bytes that are not a well-formed chunk frame
    InvalidContainer,  // a version-2 container whose header, index or blocks are malformed
    DamagedContainer,  // a version-2 block that fails its CRC-32 check; block() names it
  };

  using Bytes4 = std::array<std::uint8_t, 4>;
  using Bytes2 = std::array<std::uint8_t, 2>;

  // The four header variants carry the raw bytes exactly as stored.
  static QuorvelError invalid_compression_method(Bytes4 tag) { return {Kind::InvalidCompressionMethod, tag}; }
  static QuorvelError invalid_magic(Bytes4 magic) { return {Kind::InvalidMagic, magic}; }
  static QuorvelError invalid_format_tag(Bytes2 tag) { return {Kind::InvalidFormatTag, Bytes4{tag[0], tag[1], 0, 0}}; }
  static QuorvelError invalid_header_version(Bytes2 version) {
    return {Kind::InvalidHeaderVersion, Bytes4{version[0], version[1], 0, 0}};
  }
  static QuorvelError transform_failed(std::string text) { return {Kind::TransformFailed, std::move(text)}; }
  static QuorvelError deflate_failed(std::string text) { return {Kind::DeflateFailed, std::move(text)}; }
  static QuorvelError out_of_memory(std::uint64_t count) { return {Kind::OutOfMemory, count}; }
  static QuorvelError invalid_header() { return QuorvelError(Kind::InvalidHeader); }
  static QuorvelError unsupported_configuration(std::string text) {
    return {Kind::UnsupportedConfiguration, std::move(text)};
  }
  static QuorvelError decompression_failed(std::string text) { return {Kind::DecompressionFailed, std::move(text)}; }
  static QuorvelError unsupported_scale(std::uint8_t scale) { return {Kind::UnsupportedScale, std::uint64_t{scale}}; }
  static QuorvelError invalid_input(std::string text) { return {Kind::InvalidInput, std::move(text)}; }
  static QuorvelError invalid_target(std::string text) { return {Kind::InvalidTarget, std::move(text)}; }
  static QuorvelError invalid_options(std::string text) { return {Kind::InvalidOptions, std::move(text)}; }
  static QuorvelError invalid_frame(std::string text) { return {Kind::InvalidFrame, std::move(text)}; }
  static QuorvelError invalid_container(std::string text) { return {Kind::InvalidContainer, std::move(text)}; }
  static QuorvelError damaged_container(std::size_t block) { return {Kind::DamagedContainer, std::uint64_t{block}}; }
  // `best` is the finest error (or, for a budget, the smallest size) this signal allows.
  static QuorvelError unreachable(Target target, double best) {
    QuorvelError error(Kind::Unreachable);
    error.target_ = target;
    error.best_ = best;
    return error;
  }

  // The same failure in one lane of a frame; the text gains "lane <index>: ".
  [[nodiscard]] QuorvelError in_lane(std::size_t lane) const& {
    QuorvelError error = *this;
    error.lane_ = lane;
    return error;
  }

  [[nodiscard]] Kind kind() const { return kind_; }
  // The kind as callers in other languages name it: "invalid_magic", "unreachable", ...
  [[nodiscard]] std::string_view kind_name() const;
  // For DamagedContainer: the block whose check failed.
  [[nodiscard]] std::optional<std::size_t> block() const {
    return kind_ == Kind::DamagedContainer ? std::optional<std::size_t>(number_) : std::nullopt;
  }
  [[nodiscard]] std::optional<std::size_t> lane() const { return lane_; }
  // For Unreachable: the target asked for, and the finest figure (or smallest size) reachable.
  [[nodiscard]] std::optional<Target> target() const { return target_; }
  [[nodiscard]] std::optional<double> best_reachable() const { return best_; }
  // The display text, exactly as a caller reads it.
  [[nodiscard]] std::string message() const;

  friend std::ostream& operator<<(std::ostream& out, const QuorvelError& error);
  friend bool operator==(const QuorvelError&, const QuorvelError&) = default;

 private:
  explicit QuorvelError(Kind kind) : kind_(kind) {}
  QuorvelError(Kind kind, Bytes4 bytes) : kind_(kind), bytes_(bytes) {}
  QuorvelError(Kind kind, std::uint64_t number) : kind_(kind), number_(number) {}
  QuorvelError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  // Only the members that the kind uses are meaningful; the others stay zero
  // or empty, so that equality compares payloads.
  Kind kind_;
  Bytes4 bytes_{};  // raw header bytes: all four, or the first two
  std::uint64_t number_ = 0;
  std::string text_;
  std::optional<Target> target_;
  std::optional<double> best_;
  std::optional<std::size_t> lane_;
};

// A number as the messages show it: six significant digits ("%.6g").
[[nodiscard]] std::string figure(double value);

// True when the whole sequence is well-formed UTF-8: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated or stray continuation bytes.
[[nodiscard]] bool is_valid_utf8(std::span<const std::uint8_t> bytes);

}  // namespace quorvel
