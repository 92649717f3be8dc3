// codec/front/frame_layout.hpp: the chunk frame's two byte layouts, and what their readers and writers share.
#pragma once

// frame.cpp codes and decodes lanes and masks and reads the lane-table layout;
// frame_layout.cpp writes and reads the compact layout. Both readers locate
// the parts (containers, masks, the reference table) and hand them to the
// same checks.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "codec/common/error.hpp"
#include "codec/front/frame.hpp"

namespace quorvel::frame_detail {

// The three masks, in their order in the frame.
enum MaskIndex : std::size_t { nan_mask = 0, positive_infinity_mask = 1, negative_infinity_mask = 2 };
inline constexpr std::size_t mask_count = 3;
inline constexpr std::array<const char*, mask_count> mask_names = {"NaN", "+inf", "-inf"};

using Masks = std::array<std::vector<std::uint8_t>, mask_count>;

[[nodiscard]] QuorvelError invalid(std::string text);

struct Geometry {
  std::size_t sample_count;
  std::size_t lane_count;
  std::size_t lane_length;
};

// Sample and lane counts of a shape (InvalidInput when they cannot be held).
[[nodiscard]] std::expected<Geometry, QuorvelError> geometry(std::span<const std::uint64_t> shape);

// The frame's own CRC-32: of its first `head` bytes and of the `masks` bytes
// just before the CRC at the end.
[[nodiscard]] std::uint32_t frame_crc(std::span<const std::uint8_t> frame, std::size_t head, std::size_t masks);

// A frame's parts as the encoder hands them to a layout.
struct FrameParts {
  std::uint8_t version;
  FrameDtype dtype;
  std::span<const std::uint64_t> shape;
  const std::vector<std::vector<std::uint8_t>>& lanes;  // empty: no container
  const Masks& masks;                                   // packed; empty: absent
  std::span<const LaneReference> references;
};

// A frame whose parts are located; `containers` and `info.lanes` hold one
// entry per lane once check_lanes has passed.
struct ParsedFrame {
  FrameInfo info;
  std::vector<std::span<const std::uint8_t>> containers;  // empty: no container
  std::array<std::span<const std::uint8_t>, mask_count> masks;
};

// Checks each present mask's size against the samples (so that inflating it
// allocates no more than its bytes can describe); whether any is present.
[[nodiscard]] std::expected<bool, QuorvelError> check_masks(const ParsedFrame& parsed);

// The checks both layouts share once every part is located: each container
// against its lane (`padded`: a short version-2 container fills 52 bytes with
// zeros, as in the lane-table layout), the joint lanes' containers, and a mask
// wherever a lane has no container.
[[nodiscard]] std::expected<void, QuorvelError> check_lanes(const ParsedFrame& parsed, bool padded, bool any_mask);

// A frame's bytes in either layout, and a frame of either layout parsed and
// checked (the containers' headers, not their blocks; the masks' sizes, not
// their bits).
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> write_frame(const FrameParts& parts,
                                                                                 FrameLayout layout);
[[nodiscard]] std::expected<ParsedFrame, QuorvelError> parse_frame(std::span<const std::uint8_t> frame);

// Bytes a compact frame of this shape takes at most besides its containers,
// its masks and their lengths, and a reference table.
[[nodiscard]] std::size_t compact_overhead(std::span<const std::uint64_t> shape);

}  // namespace quorvel::frame_detail
