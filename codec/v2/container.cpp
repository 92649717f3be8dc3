// codec/v2/container.cpp: the version-2 header and block index, written and parsed with every check.
#include "codec/v2/container.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <string>

#include "codec/v2/bytes.hpp"
#include "codec/v2/crc32.hpp"
#include "codec/v2/integer_lifting.hpp"
#include "codec/sequence/coder.hpp"

namespace quorvel::v2 {

namespace {

constexpr std::uint8_t palette_flag = 0x10;
constexpr std::uint8_t origin_f64_flag = 0x20;
constexpr std::uint8_t step_f64_flag = 0x40;
constexpr std::uint8_t filter_flag = 0x80;
constexpr std::uint8_t known_flags = palette_flag | origin_f64_flag | step_f64_flag | filter_flag;
constexpr unsigned mode_count = 7;

[[nodiscard]] bool is_float32(double value) {
  return static_cast<double>(static_cast<float>(value)) == value;
}

std::uint8_t mode_byte(const Header& header) {
  auto byte = static_cast<std::uint8_t>(header.mode);
  if (!header.palette.empty()) byte |= palette_flag;
  if (has_grid(header.mode) && !is_float32(header.grid.origin)) byte |= origin_f64_flag;
  if (has_grid(header.mode) && !is_float32(header.grid.step)) byte |= step_f64_flag;
  if (header.filter) byte |= filter_flag;
  return byte;
}

void write_number(ByteWriter& out, double value, bool wide) {
  if (wide) {
    out.f64(value);
  } else {
    out.f32(static_cast<float>(value));
  }
}

// The palette as one sequence-coder block: the first entry, then each gap minus one.
std::expected<std::vector<std::uint8_t>, QuorvelError> palette_bytes(std::span<const std::int32_t> palette) {
  std::vector<std::int32_t> gaps(palette.size());
  gaps[0] = palette[0];
  for (std::size_t i = 1; i < palette.size(); ++i) {
    gaps[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(palette[i]) -
                                        static_cast<std::uint32_t>(palette[i - 1]) - 1u);
  }
  auto blocks = encode_sequence(gaps, SequenceCoding{.block_length = std::bit_ceil(palette.size())});
  if (!blocks) return std::unexpected(blocks.error());
  if (blocks->size() != 1) return std::unexpected(damaged("the palette did not code as one block"));
  return std::move(blocks->front());
}

std::expected<std::vector<std::int32_t>, QuorvelError> read_palette(ByteReader& in,
                                                                    std::uint32_t sample_count) {
  const auto count = in.leb128(32);
  const auto length = in.leb128(32);
  if (!count || !length) return std::unexpected(damaged("the container ends inside its palette"));
  if (*count == 0 || *count > std::min<std::uint64_t>(sample_count, max_palette)) {
    return std::unexpected(damaged("a palette of " + std::to_string(*count) + " entries for " +
                                   std::to_string(sample_count) +
                                   " samples (at most 65536 and one per sample)"));
  }
  const auto bytes = in.take(*length);
  if (!bytes) return std::unexpected(damaged("the container ends inside its palette"));
  std::vector<std::int32_t> palette(*count);
  const std::span<const std::uint8_t> block[] = {*bytes};
  auto decoded =
      decode_sequence(block, palette, SequenceCoding{.block_length = std::bit_ceil(palette.size())});
  if (!decoded) return std::unexpected(damaged("palette: " + decoded.error().message()));
  std::int64_t entry = palette[0];
  for (std::size_t i = 1; i < palette.size(); ++i) {
    entry += std::int64_t{1} + static_cast<std::uint32_t>(palette[i]);
    if (entry > std::numeric_limits<std::int32_t>::max()) {
      return std::unexpected(damaged("the palette's entries leave the int32 codes"));
    }
    palette[i] = static_cast<std::int32_t>(entry);
  }
  return palette;
}

// Whether a coding may carry these flags (the high half of the mode byte).
bool flags_allowed(Mode mode, std::uint8_t flags) {
  const bool filter = (flags & filter_flag) != 0;
  return (flags & ~known_flags) == 0 && (has_grid(mode) || (flags & (origin_f64_flag | step_f64_flag)) == 0) &&
         (allows_palette(mode) || (flags & palette_flag) == 0) &&
         (!filter || ((flags & palette_flag) == 0 && (mode == Mode::grid || mode == Mode::interpolated)));
}

std::optional<CellFilter> read_filter(ByteReader& in) {
  CellFilter g{};
  for (std::int16_t& tap : g) {
    const auto v = in.u16();
    if (!v) return std::nullopt;
    tap = static_cast<std::int16_t>(*v);
  }
  return g;
}

// The lifted coding's levels and band steps, after its grid, which starts at zero.
std::expected<void, QuorvelError> read_band_steps(ByteReader& in, Header& header) {
  if (header.grid.origin != 0.0) return std::unexpected(damaged("the lifted coding's grid must start at 0"));
  const auto levels = in.u8();
  if (!levels) return std::unexpected(damaged("the container ends inside its header"));
  if (*levels < 1 || *levels > max_lifting_levels) {
    return std::unexpected(damaged(std::to_string(*levels) + " lifting levels (1 to 8 are read)"));
  }
  for (unsigned b = 0; b <= *levels; ++b) {
    const auto step = in.leb128();
    if (!step) return std::unexpected(damaged("the container ends inside its band steps"));
    if (*step == 0 || *step > 0x7FFFFFFF) {
      return std::unexpected(damaged("band step " + std::to_string(*step) + " outside 1 to 2147483647"));
    }
    header.band_steps.push_back(static_cast<std::uint32_t>(*step));
  }
  return {};
}

// Bytes 6 onwards up to the palette: mode, block length, count, grid, filter.
std::expected<Header, QuorvelError> read_fields(ByteReader& in) {
  const auto mode = in.u8();
  const auto block_log2 = in.u8();
  const auto count = in.leb128(32);
  if (!mode || !block_log2 || !count) return std::unexpected(damaged("the container ends inside its header"));
  if ((*mode & 0x0F) >= mode_count) {
    return std::unexpected(damaged("unknown coding mode " + std::to_string(*mode & 0x0F) +
                                   " (this decoder reads modes 0 to " + std::to_string(mode_count - 1) +
                                   ")"));
  }
  Header header;
  header.mode = static_cast<Mode>(*mode & 0x0F);
  const std::uint8_t flags = *mode & 0xF0;
  if (!flags_allowed(header.mode, flags)) {
    return std::unexpected(damaged("unknown flags in mode byte " + std::to_string(*mode)));
  }
  if (*block_log2 < min_block_log2 || *block_log2 > max_block_log2) {
    return std::unexpected(damaged("block length 2^" + std::to_string(*block_log2) + " outside 2^8 to 2^14"));
  }
  if (*count == 0 || *count > max_sample_count) {
    return std::unexpected(damaged("sample count " + std::to_string(*count) + " outside 1 to 2147483647"));
  }
  header.block_log2 = *block_log2;
  header.sample_count = static_cast<std::uint32_t>(*count);
  if (has_grid(header.mode)) {
    const auto origin =
        (flags & origin_f64_flag) ? in.f64() : in.f32().transform([](float v) { return double{v}; });
    const auto step =
        (flags & step_f64_flag) ? in.f64() : in.f32().transform([](float v) { return double{v}; });
    if (!origin || !step) return std::unexpected(damaged("the container ends inside its header"));
    if (!std::isfinite(*origin) || !std::isfinite(*step) || !(*step > 0.0)) {
      return std::unexpected(damaged("the grid's origin and step must be finite and the step positive"));
    }
    header.grid = Grid{*origin, *step};
  }
  if (header.mode == Mode::lifted) {
    if (auto read = read_band_steps(in, header); !read) return std::unexpected(read.error());
  }
  if (is_scaled(header.mode)) {
    const auto k = in.leb128();
    if (!k) return std::unexpected(damaged("the container ends inside its header"));
    if (*k < 2 || *k > max_multiplier) {
      return std::unexpected(damaged("multiplier " + std::to_string(*k) + " outside 2 to 65536"));
    }
    header.multiplier = static_cast<std::uint32_t>(*k);
  }
  if (flags & filter_flag) {
    header.filter = read_filter(in);
    if (!header.filter) return std::unexpected(damaged("the container ends inside its header"));
  }
  if (flags & palette_flag) header.palette.resize(1);  // read after the fields
  return header;
}

std::expected<void, QuorvelError> read_index(ByteReader& in, Layout& layout) {
  const std::size_t blocks = layout.header.block_count();
  // Every block takes at least one index byte and its CRC: a count the bytes
  // cannot hold is refused before anything is sized by it.
  if (in.remaining() < blocks * (1 + crc_size)) {
    return std::unexpected(damaged("the container is truncated: " + std::to_string(blocks) +
                                   " blocks cannot fit in the bytes that follow its header"));
  }
  layout.block_sizes.reserve(blocks);
  for (std::size_t b = 0; b < blocks; ++b) {
    const auto size = in.leb128(32);
    if (!size) return std::unexpected(damaged("the container ends inside its block index"));
    layout.block_sizes.push_back(static_cast<std::uint32_t>(*size));
  }
  return {};
}

}  // namespace

QuorvelError damaged(std::string text) { return QuorvelError::invalid_container(std::move(text)); }

std::size_t Layout::block_samples(std::size_t b) const {
  const std::size_t start = b << header.block_log2;
  return std::min(header.block_length(), header.sample_count - start);
}

std::expected<Layout, QuorvelError> parse(std::span<const std::uint8_t> container) {
  ByteReader in(container);
  const auto magic = in.take(4);
  const auto stored_version = in.u16();
  if (!magic || !stored_version) return std::unexpected(damaged("the container ends inside its header"));
  const QuorvelError::Bytes4 magic_bytes{(*magic)[0], (*magic)[1], (*magic)[2], (*magic)[3]};
  if (magic_bytes != header_magic) return std::unexpected(QuorvelError::invalid_magic(magic_bytes));
  if (*stored_version != version) {
    return std::unexpected(QuorvelError::invalid_header_version(
        {static_cast<std::uint8_t>(*stored_version), static_cast<std::uint8_t>(*stored_version >> 8)}));
  }
  auto header = read_fields(in);
  if (!header) return std::unexpected(header.error());
  Layout layout{std::move(*header), 0, {}, {}};
  if (!layout.header.palette.empty()) {
    auto palette = read_palette(in, layout.header.sample_count);
    if (!palette) return std::unexpected(palette.error());
    layout.header.palette = std::move(*palette);
  }
  if (auto index = read_index(in, layout); !index) return std::unexpected(index.error());
  const std::size_t header_end = in.position();
  layout.header_crc = crc32(0, container.first(header_end));
  std::size_t at = header_end;
  layout.block_starts.reserve(layout.block_sizes.size() + 1);
  for (const std::uint32_t size : layout.block_sizes) {
    layout.block_starts.push_back(at);
    if (container.size() - at < std::size_t{size} + crc_size) {
      return std::unexpected(
          damaged("the container is truncated: its blocks need more bytes than follow its header"));
    }
    at += size + crc_size;
  }
  layout.block_starts.push_back(at);
  return layout;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> container_head(
    const Header& header, std::span<const std::vector<std::uint8_t>> blocks) {
  if (blocks.size() != header.block_count())
    return std::unexpected(damaged("one coded part per block is needed"));
  std::vector<std::uint8_t> out;
  ByteWriter w(out);
  for (const std::uint8_t byte : header_magic) w.u8(byte);
  w.u16(version);
  const std::uint8_t mode = mode_byte(header);
  w.u8(mode);
  w.u8(static_cast<std::uint8_t>(header.block_log2));
  w.leb128(header.sample_count);
  if (has_grid(header.mode)) {
    write_number(w, header.grid.origin, (mode & origin_f64_flag) != 0);
    write_number(w, header.grid.step, (mode & step_f64_flag) != 0);
  }
  if (header.mode == Mode::lifted) {
    w.u8(static_cast<std::uint8_t>(header.band_steps.size() - 1));
    for (const std::uint32_t step : header.band_steps) w.leb128(step);
  }
  if (is_scaled(header.mode)) w.leb128(header.multiplier);
  if (header.filter) {
    for (const std::int16_t tap : *header.filter) w.u16(static_cast<std::uint16_t>(tap));
  }
  if (!header.palette.empty()) {
    auto palette = palette_bytes(header.palette);
    if (!palette) return std::unexpected(palette.error());
    w.leb128(header.palette.size());
    w.leb128(palette->size());
    w.bytes(*palette);
  }
  for (const auto& block : blocks) w.leb128(block.size());
  return out;
}

std::size_t container_size(std::span<const std::uint8_t> head, std::span<const std::vector<std::uint8_t>> blocks) {
  std::size_t size = head.size();
  for (const auto& block : blocks) size += block.size() + crc_size;
  return std::max(size, min_container_size);
}

std::vector<std::uint8_t> join(std::vector<std::uint8_t> head, std::span<const std::vector<std::uint8_t>> blocks) {
  const std::uint32_t header_crc = crc32(0, head);
  std::vector<std::uint8_t> out = std::move(head);
  out.reserve(container_size(out, blocks));
  ByteWriter w(out);
  for (const auto& block : blocks) {
    w.bytes(block);
    w.u32(crc32(header_crc, block));
  }
  if (out.size() < min_container_size) out.resize(min_container_size, 0);
  return out;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> assemble(
    const Header& header, std::span<const std::vector<std::uint8_t>> blocks) {
  auto head = container_head(header, blocks);
  if (!head) return std::unexpected(head.error());
  return join(std::move(*head), blocks);
}

}  // namespace quorvel::v2
