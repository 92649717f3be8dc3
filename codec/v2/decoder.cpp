// codec/v2/decoder.cpp: blocks checked, their streams decoded a group at a time, codes mapped to samples.
#include "codec/v2/decoder.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "codec/common/buffer.hpp"
#include "codec/v2/bytes.hpp"
#include "codec/v2/crc32.hpp"
#include "codec/v2/float_ordinal.hpp"
#include "codec/v2/integer_lifting.hpp"
#include "codec/v2/interpolation.hpp"
#include "codec/common/parallel.hpp"
#include "codec/v2/sample_kernels.hpp"
#include "codec/sequence/coder.hpp"

namespace quorvel {

namespace v2 {

bool lifted_samples(std::span<const std::int32_t> q, std::span<const std::uint32_t> steps, const Grid& grid,
                    std::span<std::int64_t> codes, std::span<std::int64_t> scratch, float* out) {
  if (!codes_of_bands(q, steps, codes, scratch)) return false;
  int bad = 0;
  for (std::size_t i = 0; i < q.size(); ++i) {
    out[i] = grid.sample(codes[i]);
    bad |= static_cast<int>(!(std::fabs(out[i]) <= std::numeric_limits<float>::max()));
  }
  return bad == 0;
}

namespace {

// Blocks decoded together: the sequence coder runs a group's blocks in lockstep.
constexpr std::size_t group_blocks = 8;

std::string block_name(std::size_t b) { return "block " + std::to_string(b) + ": "; }

// The streams of one block's coded part (the codes, and the corrections in mode 2).
struct Streams {
  std::span<const std::uint8_t> codes;
  std::span<const std::uint8_t> corrections;
};

std::expected<Streams, QuorvelError> split_block(std::span<const std::uint8_t> part, Mode mode,
                                                 std::size_t b) {
  if (mode != Mode::corrected) return Streams{part, {}};
  ByteReader in(part);
  const auto length = in.leb128(32);
  const auto codes = length ? in.take(*length) : std::nullopt;
  if (!codes) return std::unexpected(damaged(block_name(b) + "its codes' length leaves the block"));
  return Streams{*codes, part.subspan(in.position())};
}

// The samples of a block's codes (and corrections) into out; false when one
// is not finite or a rank leaves the palette. One loop per coding, each free
// of branches so that it vectorises.
bool map_samples(const Header& h, std::span<const std::int32_t> codes,
                 std::span<const std::int32_t> corrections, float* out) {
  constexpr float largest = std::numeric_limits<float>::max();
  int bad = 0;
  const Grid grid = h.grid;
  const std::span<const std::int32_t> palette = h.palette;
  const auto entry = [&](std::int32_t rank) {
    const auto r = static_cast<std::uint32_t>(rank);
    bad |= static_cast<int>(r >= palette.size());
    return palette[std::min<std::size_t>(r, palette.size() - 1)];
  };
  const auto put = [&](std::size_t i, float y) {
    bad |= static_cast<int>(!(std::fabs(y) <= largest));
    out[i] = y;
  };
  if (h.mode == Mode::corrected) {
    for (std::size_t i = 0; i < codes.size(); ++i) {
      put(i, from_float_ordinal(wrapping_add(float_ordinal(grid.sample(codes[i])), corrections[i])));
    }
  } else if (h.mode == Mode::ordinals) {
    for (std::size_t i = 0; i < codes.size(); ++i)
      put(i, from_float_ordinal(palette.empty() ? codes[i] : entry(codes[i])));
  } else if (palette.empty()) {
    return kernels::sample_kernels().grid_samples(codes, grid, out);
  } else {
    for (std::size_t i = 0; i < codes.size(); ++i) put(i, grid.sample(entry(codes[i])));
  }
  return bad == 0;
}

// Per-thread scratch: a group's codes and second streams.
struct Scratch {
  Buffer<std::int32_t> codes, extra;
  Buffer<float> samples;                // a block only part of which was asked for
  Buffer<float> group;                  // a group's samples, for decode_groups
  Buffer<std::int64_t> wide, lifting;  // a lifted block's bands, then its codes
};

// The samples of one block's codes (and corrections) into out, as its coding maps them.
bool block_samples(const Header& h, std::span<const std::int32_t> codes, std::span<const std::int32_t> extra,
                   Scratch& s, float* out) {
  if (h.mode == Mode::lifted) {
    s.wide.resize(codes.size());
    s.lifting.resize(codes.size());
    return lifted_samples(codes, h.band_steps, h.grid, s.wide, s.lifting, out);
  }
  return h.filter ? filter_block(h.grid, *h.filter, codes, out) : map_samples(h, codes, extra, out);
}

struct Request {
  std::span<const std::uint8_t> container;
  const Layout& layout;
  std::size_t start;  // first sample wanted
  std::span<float> out;
};

std::expected<void, QuorvelError> check_crc(const Request& r, std::size_t b) {
  const std::size_t at = r.layout.block_starts[b];
  const auto part = r.container.subspan(at, r.layout.block_sizes[b]);
  ByteReader stored(r.container.subspan(at + part.size(), crc_size));
  if (crc32(r.layout.header_crc, part) != stored.u32())
    return std::unexpected(QuorvelError::damaged_container(b));
  return {};
}

// One stream of the blocks from `first` on into `codes`. When the group
// fails, each block again on its own, to name the one that does not decode.
std::expected<void, QuorvelError> decode_stream(std::span<const std::span<const std::uint8_t>> parts,
                                                std::span<std::int32_t> codes, std::size_t first,
                                                std::size_t block_length) {
  const SequenceCoding coding{.block_length = block_length};
  auto done = decode_sequence(parts, codes, coding);
  if (done || done.error().kind() == QuorvelError::Kind::OutOfMemory) return done;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::size_t n = std::min(block_length, codes.size() - i * block_length);
    if (!decode_sequence(parts.subspan(i, 1), codes.subspan(i * block_length, n), coding)) {
      return std::unexpected(damaged(block_name(first + i) + "its codes do not decode"));
    }
  }
  return std::unexpected(damaged(block_name(first) + "its group's codes do not decode"));
}

// Decodes blocks [first, last) and writes the samples of them that were asked
// for. A block is checked whole, whatever part of it was asked for.
std::expected<void, QuorvelError> decode_group(const Request& r, std::size_t first, std::size_t last,
                                               Scratch& s) {
  const Header& h = r.layout.header;
  const std::size_t base = first << h.block_log2;
  const std::size_t count = std::min<std::size_t>(h.sample_count, last << h.block_log2) - base;
  std::vector<std::span<const std::uint8_t>> codes_parts, correction_parts;
  for (std::size_t b = first; b < last; ++b) {
    if (auto crc = check_crc(r, b); !crc) return crc;
    auto streams =
        split_block(r.container.subspan(r.layout.block_starts[b], r.layout.block_sizes[b]), h.mode, b);
    if (!streams) return std::unexpected(streams.error());
    codes_parts.push_back(streams->codes);
    correction_parts.push_back(streams->corrections);
  }
  s.codes.resize(count);
  if (auto d = decode_stream(codes_parts, s.codes, first, h.block_length()); !d) return d;
  if (h.mode == Mode::corrected || h.mode == Mode::interpolated || is_scaled(h.mode)) s.extra.resize(count);
  if (h.mode == Mode::corrected) {
    if (auto d = decode_stream(correction_parts, s.extra, first, h.block_length()); !d) return d;
  }
  for (std::size_t b = first; b < last; ++b) {
    const std::size_t block_start = b << h.block_log2, n = r.layout.block_samples(b);
    auto codes = std::span<std::int32_t>(s.codes).subspan(block_start - base, n);
    auto extra = s.extra.empty() ? std::span<std::int32_t>()
                                 : std::span<std::int32_t>(s.extra).subspan(block_start - base, n);
    if (h.mode == Mode::interpolated) {
      interpolation_restore(codes, extra);
      std::swap(codes, extra);
    }
    if (is_scaled(h.mode)) {
      if (!scaled_restore(codes, h.multiplier, extra, spline_of(h.mode))) {
        return std::unexpected(damaged(block_name(b) + "a code leaves the int32 range"));
      }
      std::swap(codes, extra);
    }
    const std::size_t lo = std::max(block_start, r.start),
                      hi = std::min(block_start + n, r.start + r.out.size());
    const bool whole = lo == block_start && hi == block_start + n;
    if (!whole) s.samples.resize(n);
    float* out = whole ? r.out.data() + (lo - r.start) : s.samples.data();
    if (!block_samples(h, codes, extra, s, out)) {
      return std::unexpected(damaged(block_name(b) + (h.mode == Mode::lifted
                                                          ? "its bands do not lift back to finite samples"
                                                          : "a code does not decode to a finite sample")));
    }
    if (!whole) std::copy(out + (lo - block_start), out + (hi - block_start), r.out.data() + (lo - r.start));
  }
  return {};
}

QuorvelError outside(std::size_t start, std::size_t stop, std::size_t n) {
  return QuorvelError::invalid_input("Samples " + std::to_string(start) + " to " + std::to_string(stop) +
                                     " asked of a container of " + std::to_string(n));
}

// Runs body(first, last, scratch) on the groups of blocks [first, last) `threads` at once, each with the
// scratch of its thread; the first failure in block order, if any.
template <class Body>
std::expected<void, QuorvelError> for_each_group(std::size_t first, std::size_t last, std::size_t threads, Body&& body) {
  const std::size_t groups = (last - first + group_blocks - 1) / group_blocks;
  std::vector<std::optional<QuorvelError>> failures(groups);
  parallel_for(groups, threads, [&](std::size_t g) {
    thread_local Scratch scratch;
    const std::size_t a = first + g * group_blocks, b = std::min(last, a + group_blocks);
    if (auto done = body(a, b, scratch); !done) failures[g] = done.error();
  });
  for (auto& failure : failures) {
    if (failure) return std::unexpected(std::move(*failure));
  }
  return {};
}

std::expected<void, QuorvelError> decode_range(std::span<const std::uint8_t> container, const Layout& layout,
                                               std::size_t start, std::span<float> out, std::size_t threads) {
  const std::size_t n = layout.header.sample_count;
  if (start > n || out.size() > n - start) return std::unexpected(outside(start, start + out.size(), n));
  if (out.empty()) return {};
  const Request request{container, layout, start, out};
  const std::size_t first = start >> layout.header.block_log2;
  const std::size_t last = ((start + out.size() - 1) >> layout.header.block_log2) + 1;
  return for_each_group(first, last, threads,
                        [&](std::size_t a, std::size_t b, Scratch& scratch) { return decode_group(request, a, b, scratch); });
}

}  // namespace

std::expected<void, QuorvelError> decode_groups(std::span<const std::uint8_t> container, std::size_t threads,
                                                const std::function<void(std::size_t, std::span<const float>)>& visit) {
  const auto layout = parse(container);
  if (!layout) return std::unexpected(layout.error());
  const Header& h = layout->header;
  return for_each_group(0, h.block_count(), threads, [&](std::size_t a, std::size_t b, Scratch& scratch) {
    const std::size_t start = a << h.block_log2;
    scratch.group.resize(std::min<std::size_t>(h.sample_count, b << h.block_log2) - start);
    auto done = decode_group({container, *layout, start, scratch.group}, a, b, scratch);
    if (done) visit(start, scratch.group);
    return done;
  });
}

std::expected<void, QuorvelError> decode_into(std::span<const std::uint8_t> container, std::size_t start,
                                              std::span<float> out, std::size_t threads) {
  const auto layout = parse(container);
  if (!layout) return std::unexpected(layout.error());
  return decode_range(container, *layout, start, out, threads);
}

std::expected<std::vector<float>, QuorvelError> decode(std::span<const std::uint8_t> container,
                                                       std::size_t start, std::size_t stop,
                                                       std::size_t threads) {
  const auto layout = parse(container);
  if (!layout) return std::unexpected(layout.error());
  if (start > stop || stop > layout->header.sample_count) {
    return std::unexpected(outside(start, stop, layout->header.sample_count));
  }
  std::vector<float> out(stop - start);
  if (auto done = decode_range(container, *layout, start, out, threads); !done)
    return std::unexpected(done.error());
  return out;
}

std::expected<std::vector<float>, QuorvelError> decode(std::span<const std::uint8_t> container,
                                                       std::size_t threads) {
  const auto layout = parse(container);
  if (!layout) return std::unexpected(layout.error());
  std::vector<float> out(layout->header.sample_count);
  if (auto done = decode_range(container, *layout, 0, out, threads); !done)
    return std::unexpected(done.error());
  return out;
}

std::expected<std::size_t, QuorvelError> container_size(std::span<const std::uint8_t> container) {
  const auto layout = parse(container);
  if (!layout) return std::unexpected(layout.error());
  return std::max(layout->block_starts.back(), min_container_size);
}

}  // namespace v2

}  // namespace quorvel
