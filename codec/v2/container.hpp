// codec/v2/container.hpp: the version-2 container: its layout, byte by byte, and its header both ways.
#pragma once

// All integers little-endian; LEB128 numbers carry 7 bits per byte, low bits first.
//
//   offset  size  field
//   0       4     magic "QRVL"
//   4       2     version, 2 (where version 1 has its own, so version-1 decoders refuse it by version)
//   6       1     mode: bits 0-3 the coding of the samples (below; other values are refused),
//                 bit 4 a palette follows, bit 5 the grid origin is a float64 (else float32),
//                 bit 6 the grid step is a float64 (else float32), bit 7 a cell filter follows
//                 (modes 0 and 1, without a palette)
//   7       1     log2 of the block length B, 8 to 14
//   8       1-5   sample count n, LEB128, 1 to 2^31 - 1
//   ...     4|8   grid origin, finite      } modes 0 to 2, 4, 5: sample = float32(origin + step * code),
//   ...     4|8   grid step, finite, > 0   } the product and the sum in double; mode 4: origin 0
//   ...     1-5   multiplier K, LEB128, 2 to 65536 (mode 5)
//   ...     1     lifting levels L, 1 to 8 (mode 4)
//   ...     1-5   L + 1 band steps, LEB128 each, 1 to 2^31 - 1 (mode 4): the approximation's, then the
//                 details', coarse to fine
//   ...     8     cell filter (bit 7): g[1] to g[4], int16 each; the samples are then the filtered
//                 codes of each block (codec/v2/cell_filter.hpp)
//   ...           palette (bit 4; modes 0 and 3): entry count P (LEB128, 1 to min(n, 65536)), byte
//                 length L (LEB128), then L bytes: one sequence-coder block of P codes, the first
//                 entry then each gap minus one (modulo 2^32); entries rise strictly within int32.
//                 The codes in the blocks are then ranks into it.
//   ...           block index: the byte length of each block's coded part (LEB128),
//                 for each of the ceil(n / B) blocks
//   then, block after block: its coded part, then the CRC-32 (u32) of the header's bytes (offset 0
//   up to the first block) followed by the coded part; so each block checks the header too.
//   A container shorter than 52 bytes is padded with zero bytes to 52 (a version-1 decoder then
//   names the version, not the length). Bytes after the last block are not the container's.
//
// Codings (block b holds samples b * B up to the next block or n):
//   0 grid codes: one sequence-coder stream of codes (or palette ranks)
//   1 interpolation residuals: one stream of residuals of the codes against multilevel cubic
//     interpolation within the block (codec/v2/interpolation.hpp), in its coding order
//   2 grid codes with corrections: LEB128 byte length of the codes' stream, the codes' stream, then
//     a stream of corrections: sample = float32 whose ordinal is the grid sample's ordinal plus the
//     correction (modulo 2^32; codec/v2/float_ordinal.hpp)
//   3 float ordinals: one stream of the samples' ordinals (or palette ranks)
//   4 lifted: one stream of the block's bands of integers (codec/v2/integer_lifting.hpp: the approximation
//     after L levels, or fewer in a short block, then the details coarse to fine); each times its band's
//     step, through the inverse integer 9/7 lifting, gives the codes
//   5 scaled interpolation residuals: one stream of residuals r in coding 1's order; each code is its
//     interpolation prediction plus K r (in 64 bits, refused outside int32), so that a fine grid keeps
//     the residuals of a coarse quantiser's
//   6 scaled linear interpolation residuals: as 5, with every prediction the mean of the two neighbours
//     (the left one at the end of the block), for signals whose coarse levels the cubic overshoots

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "codec/v2/cell_filter.hpp"
#include "codec/common/error.hpp"
#include "codec/common/format.hpp"
#include "codec/v2/grid.hpp"
#include "codec/v2/interpolation.hpp"

namespace quorvel::v2 {

enum class Mode : std::uint8_t { grid = 0, interpolated = 1, corrected = 2, ordinals = 3, lifted = 4, scaled = 5,
                                 scaled_linear = 6 };

inline constexpr std::size_t min_container_size = 52;
inline constexpr unsigned min_block_log2 = 8;
inline constexpr unsigned max_block_log2 = 14;
inline constexpr unsigned default_block_log2 = 14;
inline constexpr std::size_t max_palette = 65536;
inline constexpr std::size_t crc_size = 4;
inline constexpr std::uint32_t max_multiplier = 65536;  // codings 5 and 6's K: K r stays far inside 64 bits

[[nodiscard]] constexpr bool has_grid(Mode mode) { return mode != Mode::ordinals; }
[[nodiscard]] constexpr bool is_scaled(Mode mode) { return mode == Mode::scaled || mode == Mode::scaled_linear; }
[[nodiscard]] constexpr Spline spline_of(Mode mode) {
  return mode == Mode::scaled_linear ? Spline::linear : Spline::cubic;
}
[[nodiscard]] constexpr bool allows_palette(Mode mode) {
  return mode == Mode::grid || mode == Mode::ordinals;
}

// What a header says. `palette` empty: no palette.
struct Header {
  Mode mode = Mode::grid;
  unsigned block_log2 = default_block_log2;
  std::uint32_t sample_count = 0;
  Grid grid;
  std::vector<std::int32_t> palette;
  std::optional<CellFilter> filter;
  std::vector<std::uint32_t> band_steps;  // lifted: the L + 1 bands' steps (else empty)
  std::uint32_t multiplier = 0;           // scaled (5, 6): K (else 0)

  [[nodiscard]] std::size_t block_length() const { return std::size_t{1} << block_log2; }
  [[nodiscard]] std::size_t block_count() const { return (sample_count + block_length() - 1) >> block_log2; }
};

// A parsed container: the header, and where each block's coded part lies.
struct Layout {
  Header header;
  std::uint32_t header_crc = 0;  // CRC-32 of the header's bytes, where each block's check starts
  std::vector<std::size_t>
      block_starts;  // offsets of the coded parts; one more: where the last one's CRC ends
  std::vector<std::uint32_t> block_sizes;

  // The samples block b holds.
  [[nodiscard]] std::size_t block_samples(std::size_t b) const;
};

// Parses the header and index and checks that every block lies inside the
// bytes (which may go on after the container). Nothing is sized from a count
// before the bytes that must describe it are known to be there.
[[nodiscard]] std::expected<Layout, QuorvelError> parse(std::span<const std::uint8_t> container);

// The container of a header and its blocks' coded parts.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> assemble(
    const Header& header, std::span<const std::vector<std::uint8_t>> blocks);

// assemble in two steps, so that an encoder can weigh a container by its size
// before it spends the memory of its bytes: the header and block index, the
// size of the whole, and the whole.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> container_head(
    const Header& header, std::span<const std::vector<std::uint8_t>> blocks);
[[nodiscard]] std::size_t container_size(std::span<const std::uint8_t> head,
                                         std::span<const std::vector<std::uint8_t>> blocks);
[[nodiscard]] std::vector<std::uint8_t> join(std::vector<std::uint8_t> head,
                                             std::span<const std::vector<std::uint8_t>> blocks);

// The failure of a malformed version-2 container.
[[nodiscard]] QuorvelError damaged(std::string text);

}  // namespace quorvel::v2
