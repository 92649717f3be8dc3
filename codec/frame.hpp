// codec/frame.hpp: the chunk frame, an N-D block of samples stored as one container per lane.
#pragma once

// A frame holds one chunk of an N-D float32 or float64 array. Time runs along
// the last axis: every 1-D lane along it becomes one standard version-1
// container, so a loud channel never spoils the quantisation of a quiet one.
// NaN, +inf and -inf cannot go through the wavelet codec; their positions are
// kept in three bit masks (raw DEFLATE), the gaps are filled by linear
// interpolation before encoding and the values are put back exactly on decode.
//
// Layout, all integers little-endian:
//
//   offset      size        field
//   0           4           magic "QRVC"
//   4           1           version, 1
//   5           1           sample type: 0 float32, 1 float64
//   6           1           ndim, 0..32 (0: a single sample)
//   7           1           reserved, 0
//   8           12          packed byte length of the NaN, +inf and -inf masks (u32 each; 0: none)
//   20          8 ndim      shape (u64 each)
//   20 + 8 ndim 4 lanes     byte length of each lane's container (u32; 0: every sample masked)
//   ...                     the containers, lane after lane (C order of the leading axes)
//   ...                     the masks that are present, NaN, +inf, -inf: raw DEFLATE of one bit
//                           per sample in C order, bit i % 8 of byte i / 8, spare bits zero
//
// The frame ends exactly after its last part.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/aim.hpp"
#include "codec/header.hpp"

namespace quorvel {

enum class FrameDtype : std::uint8_t { float32 = 0, float64 = 1 };

inline constexpr std::array<std::uint8_t, 4> frame_magic = {'Q', 'R', 'V', 'C'};
inline constexpr std::uint8_t frame_version = 1;
inline constexpr std::size_t frame_fixed_size = 20;
inline constexpr std::size_t frame_max_ndim = 32;

// Every failure of the frame encoder and decoder.
class FrameError {
 public:
  enum class Kind : std::uint8_t {
    InvalidFrame,  // the bytes are not a well-formed frame
    InvalidInput,  // the array or the settings cannot be encoded, or the output does not fit
    Codec,         // a lane's encoder or decoder failed; the message names the lane
  };

  static FrameError invalid_frame(std::string text) { return {Kind::InvalidFrame, std::move(text)}; }
  static FrameError invalid_input(std::string text) { return {Kind::InvalidInput, std::move(text)}; }
  static FrameError codec(std::size_t lane, const std::string& text) {
    return {Kind::Codec, "lane " + std::to_string(lane) + ": " + text};
  }

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] const std::string& message() const { return message_; }

 private:
  FrameError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind_;
  std::string message_;
};

// How the lanes are encoded: each lane meets `target` on its own finite
// samples (the aimed encoder), or, without a target, every lane gets the
// fixed method, scale and cutoff.
struct FrameSettings {
  CompressionOptions fixed = {};
  std::optional<Target> target = std::nullopt;  // max_bytes is a budget per lane's container
  AimOptions aim = {};
  std::size_t threads = 0;  // lanes encoded at once; 0: one per processor
};

// What a frame's header says, checked against the frame's own size.
struct FrameInfo {
  FrameDtype dtype;
  std::vector<std::uint64_t> shape;
  std::size_t sample_count;  // product of the shape
  std::size_t lane_count;    // product of all axes but the last (1 for ndim 0)
  std::size_t lane_length;   // the last axis (1 for ndim 0)
};

// Encodes a C-ordered array of the given shape. The lanes run along the last
// axis and hold at most 2147483647 samples each.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, FrameError> encode_frame(
    std::span<const float> samples, std::span<const std::uint64_t> shape, const FrameSettings& settings);
[[nodiscard]] std::expected<std::vector<std::uint8_t>, FrameError> encode_frame(
    std::span<const double> samples, std::span<const std::uint64_t> shape, const FrameSettings& settings);

// Parses and checks the header and the lane table without decoding anything,
// so that a caller can size the output. Allocates only the shape.
[[nodiscard]] std::expected<FrameInfo, FrameError> read_frame_info(std::span<const std::uint8_t> frame);

// Decodes a frame into `out`, which must have exactly the frame's sample count
// and the frame's sample type. `threads` lanes are decoded at once (0: one per
// processor). On failure the contents of `out` are unspecified.
[[nodiscard]] std::expected<void, FrameError> decode_frame(std::span<const std::uint8_t> frame, std::span<float> out,
                                                           std::size_t threads = 0);
[[nodiscard]] std::expected<void, FrameError> decode_frame(std::span<const std::uint8_t> frame, std::span<double> out,
                                                           std::size_t threads = 0);

}  // namespace quorvel
