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
// Two byte layouts share the first eight bytes (magic, version, sample type,
// ndim, flags); docs/format.md ("Chunk frames") gives both byte by byte. The
// lane-table layout (flag bit 2 clear) lists every part's length in fixed
// fields; the compact one (flag bit 2, what the encoder writes) stores the
// shape and the few lengths it needs as LEB128 and finds each container's end
// from the container's own header, so a frame costs at most 16 + 2 bytes per
// lane over its containers. Either way: the containers lane after lane, the
// masks (raw DEFLATE of one bit per sample), and a CRC-32 of everything but
// the containers (which carry checks of their own).

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
inline constexpr std::uint8_t frame_flag_compact = 4;
// Compact frames only: which masks are present (bits 3, 4, 5: NaN, +inf,
// -inf), every sample masked and no container, or a bitmap of the lanes with one.
inline constexpr std::uint8_t frame_flag_nan_mask = 8;
inline constexpr std::uint8_t frame_flag_no_container = 64;
inline constexpr std::uint8_t frame_flag_lane_bitmap = 128;

// The layout a frame is written in: compact, or with a lane table (as
// encoders wrote every frame before the compact layout; kept for readers
// that know only it).
enum class FrameLayout : std::uint8_t { compact, lane_table };
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

// Bytes a frame of this shape takes at most besides its containers, its masks
// and a reference table: in the compact layout the fixed bytes, the shape, a
// lane bitmap and the CRC-32 (the lengths of masks add at most 5 bytes per mask
// present beyond the first); in the lane-table layout, exactly the fixed
// header, the shape, the lane table and the CRC-32 (a reference table adds
// 4 + 10 bytes per lane coded jointly).
[[nodiscard]] std::size_t frame_overhead(std::span<const std::uint64_t> shape,
                                         FrameLayout layout = FrameLayout::compact);

// Encodes a C-ordered array of the given shape. The lanes run along the last
// axis and hold at most 2147483647 samples each. A lane's failure carries its
// index (QuorvelError::lane()); an unreachable target names the lane that
// needs the most, and a figure (a budget per lane) that every lane meets.
// With `joint` and an error target (max error, RMSE, PRD), a lane may be coded
// against another one when that makes its container smaller and still meets
// the target on its own samples.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode_frame(
    std::span<const float> samples, std::span<const std::uint64_t> shape, const FrameSettings& settings,
    bool joint = true, FrameLayout layout = FrameLayout::compact);
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode_frame(
    std::span<const double> samples, std::span<const std::uint64_t> shape, const FrameSettings& settings,
    bool joint = true, FrameLayout layout = FrameLayout::compact);

// Parses and checks the header, the lane table (or, compact, the walk from
// container to container) and the containers' headers without decoding
// anything, so that a caller can size the output and find each lane's
// container. Allocates only the shape and the lanes' parts.
[[nodiscard]] std::expected<FrameInfo, QuorvelError> read_frame_info(std::span<const std::uint8_t> frame);

// Decodes a frame into `out`, which must have exactly the frame's sample count
// and the frame's sample type. `threads` lanes are decoded at once (0: one per
// processor). On failure the contents of `out` are unspecified.
[[nodiscard]] std::expected<void, QuorvelError> decode_frame(std::span<const std::uint8_t> frame, std::span<float> out,
                                                           std::size_t threads = 0);
[[nodiscard]] std::expected<void, QuorvelError> decode_frame(std::span<const std::uint8_t> frame, std::span<double> out,
                                                           std::size_t threads = 0);

// A part of a frame: `lanes` (indices in C order of all axes but the last, as
// the frame stores them; any order, repeats allowed) and samples [start, stop)
// of each.
struct FramePart {
  std::span<const std::size_t> lanes;
  std::size_t start = 0;
  std::size_t stop = 0;
};

// Decodes only the part asked for into `out` (lanes.size() x (stop - start)
// samples, lane after lane): the containers of those lanes and of the
// references of joint ones among them, a version-2 container only in the
// blocks that hold the samples (version 1 whole, then sliced); the masks are
// inflated whole. The same samples as decode_frame gives there.
// InvalidInput for a lane or a range outside the frame.
[[nodiscard]] std::expected<void, QuorvelError> decode_frame_part(std::span<const std::uint8_t> frame,
                                                                const FramePart& part, std::span<float> out,
                                                                std::size_t threads = 0);
[[nodiscard]] std::expected<void, QuorvelError> decode_frame_part(std::span<const std::uint8_t> frame,
                                                                const FramePart& part, std::span<double> out,
                                                                std::size_t threads = 0);

// Reading a part of a stored frame from byte ranges: a reader fetches the
// head, walks the containers by their headers and block indexes, fetches the
// blocks it needs, the masks and the CRC, and hands decode_frame_part a
// buffer of the frame's size that holds those bytes (the others are never read).

// What a compact frame's first bytes say (`prefix`: the rest need not be
// there): `info` without its lanes, its last axis 1 unless no lane has a
// container (the first container's header gives it), where the containers
// start, and the lane bitmap (empty: every lane has one when `any_container`).
// InvalidInput for a frame in the lane-table layout, or a prefix too short.
struct FrameHead {
  FrameInfo info;
  std::size_t end;
  std::vector<std::uint8_t> bitmap;
  bool any_container;
};
[[nodiscard]] std::expected<FrameHead, QuorvelError> read_frame_head(std::span<const std::uint8_t> prefix);

// Where a container of a frame of `version` keeps its blocks, from its header
// and block index (`bytes` start at the container and may go on after it; its
// blocks must lie inside them): block b is bytes [starts[b], starts[b + 1]),
// CRC included, and holds samples [b block_length, (b + 1) block_length); the
// last start is the container's end. A version-1 container is one block.
struct ContainerBlocks {
  std::size_t sample_count;
  std::size_t block_length;
  std::vector<std::size_t> starts;
};
[[nodiscard]] std::expected<ContainerBlocks, QuorvelError> read_container_blocks(std::span<const std::uint8_t> bytes,
                                                                               std::uint8_t version);

}  // namespace quorvel
