// codec/front/frame.hpp: the chunk frame, an N-D block of samples stored as one container per lane.
#pragma once

// A frame holds one chunk of an N-D float32 or float64 array. Time runs along
// the last axis: every 1-D lane along it becomes one container (version 1 or
// 2, the same for every lane), so a loud channel never spoils the
// quantisation of a quiet one.
// NaN, +inf and -inf cannot go through the wavelet codec; their positions are
// kept in three bit masks (raw DEFLATE), the gaps are filled by linear
// interpolation before encoding and the values are put back exactly on decode.
//
// Layout, all integers little-endian:
//
//   offset      size        field
//   0           4           magic "QRVC"
//   4           1           version: 1, every lane a version-1 container; 2, every lane a
//                           version-2 container (a reader that knows only 1 refuses it)
//   5           1           sample type: 0 float32, 1 float64
//   6           1           ndim, 0..32 (0: a single sample)
//   7           1           flags: bit 0 set, a CRC-32 follows the masks; bit 1 set, a reference
//                           table follows the lane table; the other bits zero
//   8           12          packed byte length of the NaN, +inf and -inf masks (u32 each; 0: none)
//   20          8 ndim      shape (u64 each)
//   20 + 8 ndim 4 lanes     byte length of each lane's container (u32; 0: every sample masked)
//   ...         4 + 10 K    with flag bit 1: K, then K entries (lane, reference lane, weight: u32,
//                           u32, i16) in increasing lane order; such a lane's container holds its
//                           difference against the reference's decoded samples (codec/front/joint.hpp)
//   ...                     the containers, lane after lane (C order of the leading axes)
//   ...                     the masks that are present, NaN, +inf, -inf: raw DEFLATE of one bit
//                           per sample in C order, bit i % 8 of byte i / 8, spare bits zero
//   ...         4           with flag bit 0: CRC-32 of every byte of the frame but the
//                           containers (which carry checks of their own) and this field
//                           (so it covers the reference table)
//
// The frame ends exactly after its last part. The encoder always sets flag bit
// 0; frames without it (flags 0, as the first encoders wrote them) decode
// without the check.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/v1/container.hpp"
#include "codec/common/error.hpp"
#include "codec/front/settings.hpp"

namespace quorvel {

enum class FrameDtype : std::uint8_t { float32 = 0, float64 = 1 };

inline constexpr std::array<std::uint8_t, 4> frame_magic = {'Q', 'R', 'V', 'C'};
inline constexpr std::uint8_t first_frame_version = 1;
inline constexpr std::uint8_t last_frame_version = 2;
inline constexpr std::size_t frame_fixed_size = 20;
inline constexpr std::size_t frame_max_ndim = 32;
inline constexpr std::uint8_t frame_flag_crc = 1;    // in the flags byte, offset 7
inline constexpr std::uint8_t frame_flag_joint = 2;  // a reference table follows the lane table
inline constexpr std::size_t frame_crc_size = 4;

// How the lanes are encoded: each lane meets the target on its own finite
// samples (the aimed encoder), or, without a target, every lane gets the
// fixed method, scale and cutoff. A max_bytes target is a budget per lane.
// The settings' format is the lanes' container version, and the frame's.
using FrameSettings = Settings;

// Where a lane's container lies in the frame; size 0: the lane has none.
struct LanePart {
  std::size_t offset;
  std::size_t size;
};

// A lane coded as the difference against the decoded samples of `reference`,
// a lane coded alone, weighted by weight / 4096.
struct LaneReference {
  std::uint32_t lane;
  std::uint32_t reference;
  std::int16_t weight;
  friend bool operator==(const LaneReference&, const LaneReference&) = default;
};

// What a frame's header says, checked against the frame's own size.
struct FrameInfo {
  std::uint8_t version;  // of the frame, and of every lane's container
  FrameDtype dtype;
  std::vector<std::uint64_t> shape;
  std::size_t sample_count;  // product of the shape
  std::size_t lane_count;    // product of all axes but the last (1 for ndim 0)
  std::size_t lane_length;   // the last axis (1 for ndim 0)
  std::vector<LanePart> lanes;  // the lane table, lane after lane
  std::vector<LaneReference> references = {};  // the reference table, empty without flag bit 1
};

// Bytes a frame of this shape takes besides its containers and masks: the
// fixed header, the shape, the lane table and the CRC-32 (a reference table
// adds 4 + 10 bytes per lane coded jointly).
[[nodiscard]] std::size_t frame_overhead(std::span<const std::uint64_t> shape);

// Encodes a C-ordered array of the given shape. The lanes run along the last
// axis and hold at most 2147483647 samples each. A lane's failure carries its
// index (QuorvelError::lane()); an unreachable target names the lane that
// needs the most, and a figure (a budget per lane) that every lane meets.
// With `joint` and an error target (max error, RMSE, PRD), a lane may be coded
// against another one when that makes its container smaller and still meets
// the target on its own samples.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode_frame(
    std::span<const float> samples, std::span<const std::uint64_t> shape, const FrameSettings& settings,
    bool joint = true);
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode_frame(
    std::span<const double> samples, std::span<const std::uint64_t> shape, const FrameSettings& settings,
    bool joint = true);

// Parses and checks the header, the lane table and the containers' headers
// without decoding anything, so that a caller can size the output and find
// each lane's container. Allocates only the shape and the lane table.
[[nodiscard]] std::expected<FrameInfo, QuorvelError> read_frame_info(std::span<const std::uint8_t> frame);

// Decodes a frame into `out`, which must have exactly the frame's sample count
// and the frame's sample type. `threads` lanes are decoded at once (0: one per
// processor). On failure the contents of `out` are unspecified.
[[nodiscard]] std::expected<void, QuorvelError> decode_frame(std::span<const std::uint8_t> frame, std::span<float> out,
                                                           std::size_t threads = 0);
[[nodiscard]] std::expected<void, QuorvelError> decode_frame(std::span<const std::uint8_t> frame, std::span<double> out,
                                                           std::size_t threads = 0);

}  // namespace quorvel
