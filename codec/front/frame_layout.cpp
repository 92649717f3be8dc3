// codec/front/frame_layout.cpp: a chunk frame's bytes, in the lane-table layout and the compact one.
#include "codec/front/frame_layout.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

#include "codec/front/joint.hpp"
#include "codec/v1/container.hpp"
#include "codec/v2/bytes.hpp"
#include "codec/v2/container.hpp"

namespace quorvel::frame_detail {

namespace {

// ---- the lane-table layout --------------------------------------------------

// The fixed header, the shape and the lane table of the lane-table layout: where the containers start.
std::size_t head_size(std::span<const std::uint64_t> shape) {
  return frame_overhead(shape, FrameLayout::lane_table) - frame_crc_size;
}


std::expected<std::uint32_t, QuorvelError> part_length(std::size_t bytes, const std::string& what) {
  if (bytes > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(QuorvelError::invalid_input(what + " of " + std::to_string(bytes) +
                                                       " bytes does not fit in a frame (at most 4294967295)"));
  }
  return static_cast<std::uint32_t>(bytes);
}

// The lane-table layout: header, lane table, reference table, containers and masks, in frame order.
std::expected<std::vector<std::uint8_t>, QuorvelError> write_lane_table(const FrameParts& parts) {
  const std::size_t table = joint::table_size(parts.references);
  std::size_t size = frame_overhead(parts.shape, FrameLayout::lane_table) + table, masks = 0;
  for (const auto& c : parts.lanes) size += c.size();
  for (const auto& m : parts.masks) masks += m.size();
  size += masks;
  std::vector<std::uint8_t> out(size);
  std::uint8_t* p = out.data();
  std::copy(frame_magic.begin(), frame_magic.end(), p);
  p[4] = parts.version;
  p[5] = static_cast<std::uint8_t>(parts.dtype);
  p[6] = static_cast<std::uint8_t>(parts.shape.size());
  p[7] = static_cast<std::uint8_t>(frame_flag_crc | (table != 0 ? frame_flag_joint : 0));
  p += 8;
  for (std::size_t m = 0; m < mask_count; ++m, p += 4) {
    auto length = part_length(parts.masks[m].size(), std::string(mask_names[m]) + " mask");
    if (!length) return std::unexpected(length.error());
    little_endian::store(p, *length);
  }
  for (const std::uint64_t extent : parts.shape) little_endian::store(p, extent), p += 8;
  for (std::size_t lane = 0; lane < parts.lanes.size(); ++lane, p += 4) {
    auto length = part_length(parts.lanes[lane].size(), "The container of lane " + std::to_string(lane));
    if (!length) return std::unexpected(length.error());
    little_endian::store(p, *length);
  }
  if (table != 0) joint::write_table(parts.references, p), p += table;
  for (const auto& c : parts.lanes) p = std::copy(c.begin(), c.end(), p);
  for (const auto& m : parts.masks) p = std::copy(m.begin(), m.end(), p);
  little_endian::store(p, frame_crc(out, head_size(parts.shape) + table, masks));
  return out;
}


// Reads `count` little-endian u32 lengths at `p`, and their sum.
std::uint64_t read_lengths(const std::uint8_t* p, std::size_t count, std::vector<std::uint32_t>& out) {
  std::uint64_t sum = 0;
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) sum += out[i] = little_endian::load<std::uint32_t>(p + 4 * i);
  return sum;
}

// The eight bytes both layouts share, checked; the info with `ndim` axes yet to read.
std::expected<FrameInfo, QuorvelError> parse_fixed(std::span<const std::uint8_t> frame) {
  constexpr std::size_t fixed = 8;
  if (frame.size() < fixed) {
    return std::unexpected(invalid("Frame is too short for its header: " + std::to_string(frame.size()) + " bytes"));
  }
  const std::uint8_t* p = frame.data();
  if (!std::equal(frame_magic.begin(), frame_magic.end(), p)) return std::unexpected(invalid("Not a frame: bad magic"));
  if (p[4] < first_frame_version || p[4] > last_frame_version) {
    return std::unexpected(invalid("Unsupported frame version " + std::to_string(p[4])));
  }
  if (p[5] > static_cast<std::uint8_t>(FrameDtype::float64)) {
    return std::unexpected(invalid("Unknown sample type " + std::to_string(p[5])));
  }
  const bool compact = (p[7] & frame_flag_compact) != 0;
  if (!compact && (p[7] & ~(frame_flag_crc | frame_flag_joint)) != 0) {
    return std::unexpected(invalid("Unknown frame flags " + std::to_string(p[7])));
  }
  if (!compact && frame.size() < frame_fixed_size) {
    return std::unexpected(invalid("Frame is too short for its header: " + std::to_string(frame.size()) + " bytes"));
  }
  if (p[6] > frame_max_ndim) {
    return std::unexpected(invalid("Frame is too short for a shape of " + std::to_string(p[6]) + " axes"));
  }
  return FrameInfo{p[4], static_cast<FrameDtype>(p[5]), std::vector<std::uint64_t>(p[6]), 0, 0, 0, {}};
}

// The lane-table layout's shape, checked; the info without its lane table.
std::expected<void, QuorvelError> read_table_shape(std::span<const std::uint8_t> frame, FrameInfo& info) {
  const std::size_t ndim = info.shape.size();
  if (frame.size() - frame_fixed_size < 8 * ndim) {
    return std::unexpected(invalid("Frame is too short for a shape of " + std::to_string(ndim) + " axes"));
  }
  for (std::size_t axis = 0; axis < ndim; ++axis) {
    info.shape[axis] = little_endian::load<std::uint64_t>(frame.data() + frame_fixed_size + 8 * axis);
  }
  const auto g = geometry(info.shape);
  if (!g) return std::unexpected(invalid(g.error().message()));
  info.sample_count = g->sample_count;
  info.lane_count = g->lane_count;
  info.lane_length = g->lane_length;
  return {};
}

std::expected<ParsedFrame, QuorvelError> parse_lane_table(std::span<const std::uint8_t> frame, FrameInfo head) {
  if (auto shape = read_table_shape(frame, head); !shape) return std::unexpected(shape.error());
  ParsedFrame parsed{std::move(head), {}, {}};
  const FrameInfo& info = parsed.info;
  // The lane table must lie inside the frame before anything is sized by it.
  const std::size_t table = frame_fixed_size + 8 * info.shape.size();
  if ((frame.size() - table) / 4 < info.lane_count) {
    return std::unexpected(invalid("Frame is too short for the lane table of " + std::to_string(info.lane_count) +
                                   " lanes"));
  }
  std::vector<std::uint32_t> mask_lengths, lane_lengths;
  const std::uint64_t parts = read_lengths(frame.data() + 8, mask_count, mask_lengths) +
                              read_lengths(frame.data() + table, info.lane_count, lane_lengths);
  std::size_t body = head_size(info.shape);
  if ((frame[7] & frame_flag_joint) != 0) {
    std::size_t table_bytes = 0;
    auto references = joint::read_table(frame.subspan(body), info.lane_count, table_bytes);
    if (!references) return std::unexpected(references.error());
    parsed.info.references = std::move(*references);
    body += table_bytes;
  }
  const std::size_t crc_bytes = (frame[7] & frame_flag_crc) != 0 ? frame_crc_size : 0;
  if (parts + crc_bytes != frame.size() - body) {
    return std::unexpected(invalid((parts + crc_bytes > frame.size() - body ? "Frame is truncated: its parts add up to "
                                                                             : "Frame parts add up to ") +
                                   std::to_string(parts + crc_bytes) + " bytes but " +
                                   std::to_string(frame.size() - body) + " follow the lane table"));
  }
  const std::size_t masks = std::size_t{mask_lengths[0]} + mask_lengths[1] + mask_lengths[2];
  if (crc_bytes != 0 && frame_crc(frame, body, masks) != little_endian::load<std::uint32_t>(frame.last(4).data())) {
    return std::unexpected(invalid("Frame damaged: the CRC-32 of its header, shape, lane table and masks fails"));
  }
  std::size_t offset = body;
  for (std::size_t lane = 0; lane < info.lane_count; ++lane) {
    parsed.containers.push_back(frame.subspan(offset, lane_lengths[lane]));
    parsed.info.lanes.push_back({offset, lane_lengths[lane]});
    offset += lane_lengths[lane];
  }
  for (std::size_t m = 0; m < mask_count; offset += mask_lengths[m++]) {
    parsed.masks[m] = frame.subspan(offset, mask_lengths[m]);
  }
  const auto any_mask = check_masks(parsed);
  if (!any_mask) return std::unexpected(any_mask.error());
  if (auto ok = check_lanes(parsed, true, *any_mask); !ok) return std::unexpected(ok.error());
  return parsed;
}



// ---- the compact layout -----------------------------------------------------

constexpr std::size_t compact_fixed_size = 8;
constexpr std::size_t min_entry_size = 4;  // a reference-table entry: two LEB128 bytes and the weight

std::size_t leb128_size(std::uint64_t value) {
  std::size_t bytes = 1;
  for (; value >= 0x80; value >>= 7) ++bytes;
  return bytes;
}

std::uint64_t zigzag(std::int64_t v) { return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63); }
std::int64_t unzigzag(std::uint64_t u) { return static_cast<std::int64_t>(u >> 1) ^ -static_cast<std::int64_t>(u & 1); }

// The bytes of a container the compact layout keeps: a version-2 container
// without the zeros that pad a short one to 52 bytes (its own header says where it ends).
std::span<const std::uint8_t> unpadded(const std::vector<std::uint8_t>& container, std::uint8_t version) {
  if (version != 2 || container.size() != v2::min_container_size) return container;
  const auto layout = v2::parse(container);
  return layout ? std::span(container).first(layout->block_starts.back()) : std::span(container);
}

// The flags byte of a compact frame of these parts.
std::uint8_t compact_flags(const FrameParts& parts, std::size_t present) {
  const std::size_t lanes = parts.lanes.size();
  std::uint8_t flags = frame_flag_crc | frame_flag_compact | (parts.references.empty() ? 0 : frame_flag_joint);
  for (std::size_t m = 0; m < mask_count; ++m) {
    if (!parts.masks[m].empty()) flags |= static_cast<std::uint8_t>(frame_flag_nan_mask << m);
  }
  const bool has_samples = lanes > 0 && (parts.shape.empty() || parts.shape.back() > 0);
  if (present == 0 && has_samples) return flags | frame_flag_no_container;
  return present < lanes ? flags | frame_flag_lane_bitmap : flags;
}

// The head: the fixed bytes, the shape, the lane bitmap, the lengths of the
// masks but the last, the reference table.
std::expected<void, QuorvelError> write_compact_head(const FrameParts& parts, std::uint8_t flags, std::size_t present,
                                                     ByteWriter& w) {
  w.bytes(frame_magic);
  w.u8(parts.version);
  w.u8(static_cast<std::uint8_t>(parts.dtype));
  w.u8(static_cast<std::uint8_t>(parts.shape.size()));
  w.u8(flags);
  for (std::size_t axis = 0; axis + 1 < parts.shape.size(); ++axis) w.leb128(parts.shape[axis]);
  if ((flags & frame_flag_lane_bitmap) != 0) {
    for (std::size_t lane = 0; lane < parts.lanes.size(); lane += 8) {
      std::uint8_t byte = 0;
      for (std::size_t i = lane; i < std::min(lane + 8, parts.lanes.size()); ++i) {
        byte = static_cast<std::uint8_t>(byte | (parts.lanes[i].empty() ? 0 : 1u << (i - lane)));
      }
      w.u8(byte);
    }
  }
  if (!parts.shape.empty() && present == 0) w.leb128(parts.shape.back());
  std::size_t last_mask = mask_count;
  for (std::size_t m = 0; m < mask_count; ++m) last_mask = parts.masks[m].empty() ? last_mask : m;
  for (std::size_t m = 0; m < last_mask; ++m) {
    if (parts.masks[m].empty()) continue;
    auto length = part_length(parts.masks[m].size(), std::string(mask_names[m]) + " mask");
    if (!length) return std::unexpected(length.error());
    w.leb128(*length);
  }
  if (parts.references.empty()) return {};
  w.leb128(parts.references.size());
  std::int64_t previous = -1;
  for (const LaneReference& r : parts.references) {
    w.leb128(static_cast<std::uint64_t>(r.lane - previous - 1));
    w.leb128(zigzag(std::int64_t{r.reference} - r.lane));
    w.u16(static_cast<std::uint16_t>(r.weight));
    previous = r.lane;
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, QuorvelError> write_compact(const FrameParts& parts) {
  const std::size_t present = static_cast<std::size_t>(
      std::count_if(parts.lanes.begin(), parts.lanes.end(), [](const auto& c) { return !c.empty(); }));
  const std::uint8_t flags = compact_flags(parts, present);
  std::size_t size = compact_overhead(parts.shape) + 8 * mask_count + 16 * parts.references.size() + 16;
  for (const auto& c : parts.lanes) size += c.size();
  for (const auto& m : parts.masks) size += m.size();
  std::vector<std::uint8_t> out;
  out.reserve(size);
  ByteWriter w(out);
  if (auto head = write_compact_head(parts, flags, present, w); !head) return std::unexpected(head.error());
  const std::size_t head = out.size();
  for (const auto& c : parts.lanes) w.bytes(unpadded(c, parts.version));
  std::size_t masks = 0;
  for (const auto& m : parts.masks) w.bytes(m), masks += m.size();
  w.u32(0);
  little_endian::store(out.data() + out.size() - frame_crc_size, frame_crc(out, head, masks));
  return out;
}

// What a compact head says besides the shape and the reference table.
struct CompactHead {
  std::size_t end = 0;                         // where the containers start
  std::span<const std::uint8_t> bitmap;        // empty: no bitmap
  bool any_container = false;                  // else the last axis was read from the head
  std::array<std::uint32_t, mask_count> mask_lengths{};  // of the present masks but the last
};

bool lane_has_container(const CompactHead& head, std::size_t lane) {
  return head.bitmap.empty() || (head.bitmap[lane / 8] >> (lane % 8) & 1) != 0;
}

// The lane bitmap: ceil(N / 8) bytes inside the frame, spare bits zero, some lane without a container.
std::expected<std::span<const std::uint8_t>, QuorvelError> read_bitmap(ByteReader& r, std::size_t lanes,
                                                                       std::size_t& marked) {
  const auto bitmap = lanes == 0 ? std::nullopt : r.take((lanes + 7) / 8);
  if (!bitmap) return std::unexpected(invalid("Frame is too short for the lane bitmap of " + std::to_string(lanes) + " lanes"));
  marked = 0;
  for (const std::uint8_t byte : *bitmap) marked += static_cast<std::size_t>(std::popcount(byte));
  if (lanes % 8 != 0 && bitmap->back() >> (lanes % 8) != 0) return std::unexpected(invalid("The lane bitmap marks lanes beyond the shape"));
  if (marked == lanes) return std::unexpected(invalid("The lane bitmap marks every lane"));
  return *bitmap;
}

// The reference table: K (LEB128), then per entry the lane's gap to the
// previous entry's lane less one, the reference's offset from the lane
// (zigzag LEB128) and the weight (i16).
std::expected<std::vector<LaneReference>, QuorvelError> read_references(ByteReader& r, std::size_t lanes) {
  const auto count = r.leb128(32);
  if (!count || *count == 0 || *count >= lanes || r.remaining() / min_entry_size < *count) {
    return std::unexpected(invalid("Frame is too short for its reference table, or the table does not fit its " +
                                   std::to_string(lanes) + " lanes"));
  }
  std::vector<LaneReference> references(*count);
  std::int64_t previous = -1;
  for (LaneReference& entry : references) {
    const auto gap = r.leb128(32);
    const auto offset = r.leb128(33);
    const auto weight = r.u16();
    if (!gap || !offset || !weight) return std::unexpected(invalid("Frame is too short for its reference table"));
    const std::int64_t lane = previous + 1 + static_cast<std::int64_t>(*gap);
    const std::int64_t reference = lane + unzigzag(*offset);
    if (lane >= static_cast<std::int64_t>(lanes) || reference < 0 || reference >= static_cast<std::int64_t>(lanes)) {
      return std::unexpected(invalid("Reference table entry for lane " + std::to_string(lane) + " is out of range"));
    }
    entry = {static_cast<std::uint32_t>(lane), static_cast<std::uint32_t>(reference), static_cast<std::int16_t>(*weight)};
    previous = lane;
  }
  if (auto ok = joint::check_table(references, lanes); !ok) return std::unexpected(ok.error());
  return references;
}

// The head after the fixed bytes: the shape (the last axis only when no lane
// has a container to give it), the bitmap, the lengths of masks, the reference
// table. Fills the shape's leading axes and the lane count of `info`.
std::expected<CompactHead, QuorvelError> read_compact_head(std::span<const std::uint8_t> frame, FrameInfo& info,
                                                          std::uint8_t flags) {
  ByteReader r(frame.subspan(compact_fixed_size));
  const bool none = (flags & frame_flag_no_container) != 0, bitmap = (flags & frame_flag_lane_bitmap) != 0;
  if (none && bitmap) return std::unexpected(invalid("Frame flags say both no container and a lane bitmap"));
  const std::size_t ndim = info.shape.size();
  for (std::size_t axis = 0; axis + 1 < ndim; ++axis) {
    const auto extent = r.leb128();
    if (!extent) return std::unexpected(invalid("Frame is too short for a shape of " + std::to_string(ndim) + " axes"));
    info.shape[axis] = *extent;
  }
  if (ndim > 0) info.shape.back() = 1;  // for the lane count; the lanes' length comes below
  const auto lanes = geometry(info.shape);
  if (!lanes) return std::unexpected(invalid(lanes.error().message()));
  info.lane_count = lanes->lane_count;
  CompactHead head;
  std::size_t marked = info.lane_count;
  if (bitmap) {
    auto bits = read_bitmap(r, info.lane_count, marked);
    if (!bits) return std::unexpected(bits.error());
    head.bitmap = *bits;
  }
  head.any_container = !none && marked > 0;
  if (ndim > 0 && !head.any_container) {
    const auto length = r.leb128();
    if (!length) return std::unexpected(invalid("Frame is too short for a shape of " + std::to_string(ndim) + " axes"));
    info.shape.back() = *length;
  }
  std::size_t present = 0;
  for (std::size_t m = 0; m < mask_count; ++m) present += (flags >> (3 + m)) & 1;
  for (std::size_t m = 0, seen = 0; m < mask_count; ++m) {
    if ((flags & (frame_flag_nan_mask << m)) == 0 || ++seen == present) continue;
    const auto length = r.leb128(32);
    if (!length || *length == 0) return std::unexpected(invalid(std::string("Frame is too short for its ") + mask_names[m] + " mask's length, or it is 0"));
    head.mask_lengths[m] = static_cast<std::uint32_t>(*length);
  }
  if ((flags & frame_flag_joint) != 0) {
    auto references = read_references(r, info.lane_count);
    if (!references) return std::unexpected(references.error());
    info.references = std::move(*references);
  }
  head.end = compact_fixed_size + r.position();
  return head;
}

// One container's end and sample count, from its own header (the bytes may go on after it).
std::expected<std::pair<std::size_t, std::size_t>, QuorvelError> container_extent(std::span<const std::uint8_t> bytes,
                                                                                  std::uint8_t version) {
  const auto blocks = read_container_blocks(bytes, version);
  if (!blocks) return std::unexpected(blocks.error());
  return std::pair{blocks->starts.back(), blocks->sample_count};
}

// The containers, walked from the head's end to `limit` each by its own
// header's size; the lanes' length from the first. Returns where they end.
std::expected<std::size_t, QuorvelError> walk_containers(std::span<const std::uint8_t> frame, const CompactHead& head,
                                                         std::size_t limit, ParsedFrame& parsed) {
  std::size_t at = head.end;
  const std::size_t lanes = head.any_container ? parsed.info.lane_count : 0;
  for (std::size_t lane = 0; lane < lanes; ++lane) {
    if (!lane_has_container(head, lane)) continue;
    const auto extent = container_extent(frame.subspan(at, limit - at), parsed.info.version);
    if (!extent) return std::unexpected(extent.error().in_lane(lane));
    if (at == head.end && !parsed.info.shape.empty()) parsed.info.shape.back() = extent->second;
    if (at == head.end && parsed.info.shape.empty() && extent->second != 1) {
      return std::unexpected(invalid("the container holds " + std::to_string(extent->second) +
                                     " samples but the lane has 1").in_lane(lane));
    }
    parsed.containers.push_back(frame.subspan(at, extent->first));
    at += extent->first;
  }
  return at;
}

// The masks between the containers' end and the CRC: the present ones in
// order, each as long as its length says, the last one the rest (at least a byte).
std::expected<void, QuorvelError> locate_masks(std::span<const std::uint8_t> region, const CompactHead& head,
                                               std::uint8_t flags, ParsedFrame& parsed) {
  std::size_t last = mask_count, stored = 0;
  for (std::size_t m = 0; m < mask_count; ++m) {
    last = (flags & (frame_flag_nan_mask << m)) != 0 ? m : last;
    stored += head.mask_lengths[m];
  }
  if (last == mask_count && !region.empty()) {
    return std::unexpected(invalid("Frame parts do not add up: " + std::to_string(region.size()) +
                                   " bytes follow the containers of a frame without masks"));
  }
  if (last < mask_count && stored >= region.size()) {
    return std::unexpected(invalid("Frame parts do not add up: " + std::to_string(region.size()) +
                                   " bytes follow the containers for masks of " + std::to_string(stored) +
                                   " bytes and one more"));
  }
  for (std::size_t m = 0, at = 0; m < mask_count && m <= last; at += head.mask_lengths[m++]) {
    parsed.masks[m] = m == last ? region.subspan(at) : region.subspan(at, head.mask_lengths[m]);
  }
  return {};
}

std::expected<ParsedFrame, QuorvelError> parse_compact(std::span<const std::uint8_t> frame, FrameInfo info,
                                                       std::uint8_t flags) {
  auto head = read_compact_head(frame, info, flags);
  if (!head) return std::unexpected(head.error());
  const std::size_t crc_bytes = (flags & frame_flag_crc) != 0 ? frame_crc_size : 0;
  if (frame.size() - head->end < crc_bytes) return std::unexpected(invalid("Frame is truncated: no room for its CRC-32"));
  const std::size_t limit = frame.size() - crc_bytes;
  ParsedFrame parsed{std::move(info), {}, {}};
  const auto end = walk_containers(frame, *head, limit, parsed);
  if (!end) return std::unexpected(end.error());
  if (auto masks = locate_masks(frame.subspan(*end, limit - *end), *head, flags, parsed); !masks) {
    return std::unexpected(masks.error());
  }
  if (crc_bytes != 0 &&
      frame_crc(frame, head->end, limit - *end) != little_endian::load<std::uint32_t>(frame.last(4).data())) {
    return std::unexpected(invalid("Frame damaged: the CRC-32 of its header, shape, reference table and masks fails"));
  }
  FrameInfo& shaped = parsed.info;
  const auto g = geometry(shaped.shape);
  if (!g) return std::unexpected(invalid(g.error().message()));
  shaped.sample_count = g->sample_count;
  shaped.lane_length = g->lane_length;
  if (!head->any_container && ((flags & frame_flag_no_container) != 0) != (g->sample_count != 0)) {
    return std::unexpected(invalid("Frame flag 6 says every sample is masked only where samples are, and then always"));
  }
  const auto any_mask = check_masks(parsed);
  if (!any_mask) return std::unexpected(any_mask.error());
  if (!head->any_container && !*any_mask && g->sample_count != 0) {
    return std::unexpected(invalid("A lane without a container needs a mask"));
  }
  // Every lane's part, now that the lane count is bounded by the bytes that describe the lanes.
  std::vector<std::span<const std::uint8_t>> present = std::move(parsed.containers);
  parsed.containers.assign(shaped.lane_count, {});
  shaped.lanes.assign(shaped.lane_count, LanePart{head->end, 0});
  for (std::size_t lane = 0, k = 0; lane < shaped.lane_count && k < present.size(); ++lane) {
    if (!lane_has_container(*head, lane)) continue;
    parsed.containers[lane] = present[k++];
    shaped.lanes[lane] = {static_cast<std::size_t>(parsed.containers[lane].data() - frame.data()),
                          parsed.containers[lane].size()};
  }
  if (auto ok = check_lanes(parsed, false, *any_mask); !ok) return std::unexpected(ok.error());
  return parsed;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, QuorvelError> write_frame(const FrameParts& parts, FrameLayout layout) {
  return layout == FrameLayout::compact ? write_compact(parts) : write_lane_table(parts);
}

std::expected<ParsedFrame, QuorvelError> parse_frame(std::span<const std::uint8_t> frame) {
  auto head = parse_fixed(frame);
  if (!head) return std::unexpected(head.error());
  const std::uint8_t flags = frame[7];
  if ((flags & frame_flag_compact) != 0) return parse_compact(frame, std::move(*head), flags);
  return parse_lane_table(frame, std::move(*head));
}

std::size_t compact_overhead(std::span<const std::uint64_t> shape) {
  std::size_t bytes = compact_fixed_size + frame_crc_size, lanes = 1;
  for (const std::uint64_t extent : shape) bytes += leb128_size(extent);
  for (std::size_t axis = 0; axis + 1 < shape.size(); ++axis) lanes *= static_cast<std::size_t>(shape[axis]);
  return bytes + (lanes > 1 ? (lanes + 7) / 8 : 0);
}

}  // namespace quorvel::frame_detail

namespace quorvel {

std::expected<ContainerBlocks, QuorvelError> read_container_blocks(std::span<const std::uint8_t> bytes,
                                                                   std::uint8_t version) {
  if (version == 2) {
    auto layout = v2::parse(bytes);
    if (!layout) return std::unexpected(layout.error());
    const v2::Header& header = layout->header;
    return ContainerBlocks{header.sample_count, header.block_length(), std::move(layout->block_starts)};
  }
  const auto header = ContainerHeader::parse(bytes);
  if (!header) return std::unexpected(header.error());
  if (header->payload_length > bytes.size() - header_size) {
    return std::unexpected(frame_detail::invalid("Frame is truncated: a container's payload of " +
                                   std::to_string(header->payload_length) + " bytes runs past it"));
  }
  // A version-1 container decodes whole: one block of every sample.
  return ContainerBlocks{header->sample_count, std::max<std::size_t>(header->sample_count, 1),
                         {header_size, header_size + header->payload_length}};
}

std::expected<FrameHead, QuorvelError> read_frame_head(std::span<const std::uint8_t> prefix) {
  auto info = frame_detail::parse_fixed(prefix);
  if (!info) return std::unexpected(info.error());
  const std::uint8_t flags = prefix[7];
  if ((flags & frame_flag_compact) == 0) {
    return std::unexpected(frame_detail::invalid("The frame has a lane table, not the compact layout's head"));
  }
  auto head = frame_detail::read_compact_head(prefix, *info, flags);
  if (!head) return std::unexpected(head.error());
  return FrameHead{std::move(*info), head->end, {head->bitmap.begin(), head->bitmap.end()}, head->any_container};
}

}  // namespace quorvel
