// codec/front/frame.cpp: chunk frames: gap filling, bit masks, one container per lane, and back.
#include "codec/front/frame.hpp"
#include "codec/front/frame_layout.hpp"
#include "codec/front/gaps.hpp"
#include "codec/front/joint.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <type_traits>
#include <unordered_map>

#include "codec/v1/decompressor.hpp"
#include "codec/v1/deflate.hpp"
#include "codec/common/parallel.hpp"
#include "codec/v2/decoder.hpp"
#include "codec/v2/crc32.hpp"

namespace quorvel {

namespace frame_detail {

QuorvelError invalid(std::string text) { return QuorvelError::invalid_frame(std::move(text)); }

std::uint32_t frame_crc(std::span<const std::uint8_t> frame, std::size_t head, std::size_t masks) {
  return crc32(crc32(0, frame.first(head)), frame.last(frame_crc_size + masks).first(masks));
}

// The sample count stays small enough that its bytes (8 per sample) and its
// mask bits are representable.
std::expected<Geometry, QuorvelError> geometry(std::span<const std::uint64_t> shape) {
  constexpr std::uint64_t max_samples = std::numeric_limits<std::size_t>::max() / 16;
  const auto refuse = [](std::string text) { return std::unexpected(QuorvelError::invalid_input(std::move(text))); };
  if (shape.size() > frame_max_ndim) {
    return refuse("Arrays of " + std::to_string(shape.size()) + " axes are not supported (at most " +
                  std::to_string(frame_max_ndim) + ")");
  }
  std::uint64_t lanes = 1;
  for (std::size_t axis = 0; axis + 1 < shape.size(); ++axis) {
    if (__builtin_mul_overflow(lanes, shape[axis], &lanes) || lanes > max_samples) {
      return refuse("Shape holds too many samples");
    }
  }
  const std::uint64_t length = shape.empty() ? 1 : shape.back();
  std::uint64_t samples = 0;
  if (__builtin_mul_overflow(lanes, length, &samples) || samples > max_samples) {
    return refuse("Shape holds too many samples");
  }
  if (length > max_sample_count) {
    return refuse("Lanes of " + std::to_string(length) + " samples exceed the container limit of " +
                  std::to_string(max_sample_count));
  }
  return Geometry{static_cast<std::size_t>(samples), static_cast<std::size_t>(lanes),
                  static_cast<std::size_t>(length)};
}

}  // namespace frame_detail

namespace {

using namespace frame_detail;

// No raw DEFLATE stream of L bytes inflates to more than 1032 L bytes, and a
// container's bands hold at least one 16-bit coefficient per sample: a
// payload of P bytes cannot describe more than 516 P samples, and a mask of L
// bytes cannot cover more than 8256 L.
constexpr std::uint64_t max_samples_per_payload_byte = max_deflate_ratio / 2;
constexpr int mask_deflate_level = 6;

template <class T>
constexpr FrameDtype dtype_of() {
  return std::is_same_v<T, float> ? FrameDtype::float32 : FrameDtype::float64;
}

// Which mask a sample belongs to, if any.
template <class T>
std::optional<MaskIndex> mask_of(T x) {
  if (std::isnan(x)) return nan_mask;
  if (std::isinf(x)) return x > 0 ? positive_infinity_mask : negative_infinity_mask;
  return std::nullopt;
}

template <class T>
T masked_value(std::size_t mask) {
  constexpr T inf = std::numeric_limits<T>::infinity();
  return mask == nan_mask ? std::numeric_limits<T>::quiet_NaN() : mask == positive_infinity_mask ? inf : -inf;
}

// The failure a frame reports: the first in lane order, marked with its lane.
// When that one is an unreachable target, the unreachable lane that needs the
// most instead: every lane shares the target, so its figure (a size per lane
// for a budget) is what the whole frame can ask for.
std::optional<QuorvelError> frame_failure(const std::vector<std::optional<QuorvelError>>& failures) {
  const auto first = std::ranges::find_if(failures, [](const auto& f) { return f.has_value(); });
  if (first == failures.end()) return std::nullopt;
  const auto need = [](const std::optional<QuorvelError>& f) {
    return f && f->kind() == QuorvelError::Kind::Unreachable ? f->best_reachable().value_or(0.0) : -1.0;
  };
  auto worst = first;
  if (need(*first) >= 0) {
    for (auto f = first; f != failures.end(); ++f) worst = need(*f) > need(*worst) ? f : worst;
  }
  return (*worst)->in_lane(static_cast<std::size_t>(worst - failures.begin()));
}

// Runs work(lane) for every lane on the thread pool. work returns the lane's
// failure, if any; frame_failure picks the frame's error. An allocation that
// fails inside a lane fails that lane.
template <class Work>
std::expected<void, QuorvelError> run_lanes(std::size_t count, std::size_t lane_length, std::size_t threads,
                                            Work&& work) {
  std::vector<std::optional<QuorvelError>> failures(count);
  parallel_for(count, threads, [&](std::size_t lane) {
    try {
      failures[lane] = work(lane);
    } catch (const std::bad_alloc&) {
      failures[lane] = QuorvelError::out_of_memory(lane_length);
    }
  });
  if (auto failure = frame_failure(failures)) return std::unexpected(std::move(*failure));
  return {};
}

// ---- encoding -------------------------------------------------------------

// What a filled lane's target is multiplied by so that it guarantees the
// target on the lane's finite samples alone. The encoder measures the fills
// too: a mean square error E over n samples bounds the error over the f
// finite ones by E n / f, and a PRD over the filled lane divides by its energy
// S_n rather than the finite samples' S_f, so RMSE shrinks by sqrt(f / n) and
// PRD by sqrt(S_f / S_n).
template <class T>
double lane_factor(TargetKind kind, std::span<const T> lane, std::span<const T> filled) {
  if (kind != TargetKind::rmse && kind != TargetKind::prd) return 1.0;
  std::size_t finite = 0;
  double finite_energy = 0, filled_energy = 0;
  for (std::size_t i = 0; i < lane.size(); ++i) {
    const double x = filled[i];
    filled_energy += x * x;
    if (std::isfinite(lane[i])) ++finite, finite_energy += x * x;
  }
  if (finite == lane.size()) return 1.0;
  const double share = kind == TargetKind::rmse ? static_cast<double>(finite) / static_cast<double>(lane.size())
                       : filled_energy > 0      ? finite_energy / filled_energy
                                                : 1.0;
  return std::sqrt(share);
}

// A lane's refusal in the caller's terms: their target, and the figure to ask
// for, rounded up so that once shrunk by `factor` again it is still reached.
QuorvelError in_callers_terms(const QuorvelError& refused, Target target, double factor) {
  const double lane_best = refused.best_reachable().value_or(0.0);
  double best = lane_best / factor;
  while (best * factor < lane_best) best = std::nextafter(best, HUGE_VAL);
  return QuorvelError::unreachable(target, best);
}

// One lane's container, or no bytes when the lane has no finite sample.
template <class T>
std::expected<std::vector<std::uint8_t>, QuorvelError> encode_lane(std::span<const T> lane,
                                                                   const FrameSettings& settings) {
  std::vector<T> filled(lane.begin(), lane.end());
  const bool bound = settings.target && settings.target->kind == TargetKind::max_error;
  if (!fill_gaps(std::span<T>(filled), std::is_same_v<T, double> && bound)) return std::vector<std::uint8_t>{};
  FrameSettings lane_settings = settings;
  lane_settings.threads = 1;  // lanes run on their own threads already
  if (!settings.target) return encode(std::span<const T>(filled), lane_settings);
  const Target target = *settings.target;
  const double factor = lane_factor(target.kind, lane, std::span<const T>(filled));
  lane_settings.target = Target{target.kind, target.value * factor};
  auto container = encode(std::span<const T>(filled), lane_settings);
  if (container || factor == 1.0 || container.error().kind() != QuorvelError::Kind::Unreachable) return container;
  return std::unexpected(in_callers_terms(container.error(), target, factor));
}

// One bit per sample for each kind of non-finite value; a mask stays empty
// when its kind never occurs.
template <class T>
Masks build_masks(std::span<const T> samples) {
  Masks masks;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto mask = mask_of(samples[i]);
    if (!mask) continue;
    auto& bits = masks[*mask];
    if (bits.empty()) bits.assign((samples.size() + 7) / 8, 0);
    bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | 1u << (i % 8));
  }
  return masks;
}


template <class T>
std::expected<std::vector<std::uint8_t>, QuorvelError> encode_frame_of(std::span<const T> samples,
                                                                       std::span<const std::uint64_t> shape,
                                                                       const FrameSettings& settings, bool joint,
                                                                       FrameLayout layout) {
  const auto g = geometry(shape);
  if (!g) return std::unexpected(g.error());
  if (auto checked = check_format(settings); !checked) return std::unexpected(checked.error());
  if (g->sample_count != samples.size()) {
    return std::unexpected(QuorvelError::invalid_input("The shape holds " + std::to_string(g->sample_count) +
                                                       " samples but the array has " + std::to_string(samples.size())));
  }

  std::vector<std::vector<std::uint8_t>> containers(g->lane_count);
  auto encoded = run_lanes(g->lane_count, g->lane_length, settings.threads,
                           [&](std::size_t lane) -> std::optional<QuorvelError> {
                             auto container = encode_lane(samples.subspan(lane * g->lane_length, g->lane_length),
                                                          settings);
                             if (!container) return std::move(container.error());
                             containers[lane] = std::move(*container);
                             return std::nullopt;
                           });
  if (!encoded) return std::unexpected(encoded.error());
  const auto references = joint && settings.target ? joint::code_lanes(samples, g->lane_length, settings, containers)
                                                   : std::vector<LaneReference>{};

  Masks packed = build_masks(samples);
  for (auto& mask : packed) {
    if (mask.empty()) continue;
    auto deflated = raw_deflate(mask, mask_deflate_level, 0);
    if (!deflated) return std::unexpected(deflated.error());
    mask = std::move(*deflated);
  }
  const FrameParts parts{static_cast<std::uint8_t>(chosen_format(settings)), dtype_of<T>(), shape, containers, packed,
                         references};
  return write_frame(parts, layout);
}

// ---- decoding -------------------------------------------------------------

// A version-2 lane's container: a header and index that parse, the lane's
// sample count, and blocks (each with its index byte and CRC, so at most 3277
// samples per byte) that fill the lane exactly (`padded`: up to zeros to 52 bytes).
std::expected<void, QuorvelError> check_version_2(std::span<const std::uint8_t> container, std::size_t length,
                                                  bool padded) {
  const auto layout = v2::parse(container);
  if (!layout) return std::unexpected(layout.error());
  if (layout->header.sample_count != length) {
    return std::unexpected(invalid("the container holds " + std::to_string(layout->header.sample_count) +
                                   " samples but the lane has " + std::to_string(length)));
  }
  const std::size_t end = layout->block_starts.back();
  const auto padding = container.subspan(end);
  if ((padded ? std::max(end, v2::min_container_size) : end) != container.size() ||
      std::any_of(padding.begin(), padding.end(), [](std::uint8_t b) { return b != 0; })) {
    return std::unexpected(invalid("the container is " + std::to_string(container.size()) +
                                   " bytes but its header and blocks make " + std::to_string(end)));
  }
  return {};
}

// The container of a lane of `length` samples in a frame of `version`: a
// header of that version that parses, the lane's sample count, and a payload
// inside the container that could really hold that many samples.
std::expected<void, QuorvelError> check_container(std::span<const std::uint8_t> container, std::size_t length,
                                                  std::uint8_t version, bool padded) {
  if (container.empty()) return {};
  if (length == 0) return std::unexpected(invalid("an empty lane has a container"));
  if (version == 2) return check_version_2(container, length, padded);
  const auto header = ContainerHeader::parse(container);
  if (!header) return std::unexpected(header.error());
  if (header->sample_count != length) {
    return std::unexpected(invalid("the container holds " + std::to_string(header->sample_count) +
                                   " samples but the lane has " + std::to_string(length)));
  }
  if (header->payload_length != container.size() - header_size) {
    return std::unexpected(invalid("the container is " + std::to_string(container.size()) +
                                   " bytes but its header and payload make " +
                                   std::to_string(header_size + header->payload_length)));
  }
  if (length > max_samples_per_payload_byte * header->payload_length) {
    return std::unexpected(invalid("a payload of " + std::to_string(header->payload_length) + " bytes cannot hold " +
                                   std::to_string(length) + " samples"));
  }
  return {};
}

// A mask's bits, inflated to exactly one bit per sample with nothing after
// the stream, spare bits of the last byte zero.
std::expected<std::vector<std::uint8_t>, QuorvelError> inflate_mask(std::span<const std::uint8_t> packed,
                                                                    std::size_t sample_count, const char* name) {
  if (packed.empty()) return std::vector<std::uint8_t>{};
  std::vector<std::uint8_t> bits((sample_count + 7) / 8);
  if (!raw_inflate_exact(packed, bits)) {
    return std::unexpected(invalid(std::string(name) + " mask is not a DEFLATE stream of one bit per sample"));
  }
  if (sample_count % 8 != 0 && bits.back() >> (sample_count % 8) != 0) {
    return std::unexpected(invalid(std::string(name) + " mask marks samples beyond the shape"));
  }
  return bits;
}

// The three masks, checked to be disjoint and to cover every lane that has
// no container.
std::expected<Masks, QuorvelError> read_masks(const ParsedFrame& parsed) {
  Masks masks;
  for (std::size_t m = 0; m < mask_count; ++m) {
    auto bits = inflate_mask(parsed.masks[m], parsed.info.sample_count, mask_names[m]);
    if (!bits) return std::unexpected(bits.error());
    masks[m] = std::move(*bits);
  }
  // Without masks, parse_frame has seen a container in every lane.
  if (std::all_of(masks.begin(), masks.end(), [](const auto& bits) { return bits.empty(); })) return masks;
  std::vector<std::uint8_t> any((parsed.info.sample_count + 7) / 8, 0);
  for (const auto& bits : masks) {
    for (std::size_t i = 0; i < bits.size(); ++i) {
      if ((any[i] & bits[i]) != 0) return std::unexpected(invalid("A sample is marked in two masks"));
      any[i] = static_cast<std::uint8_t>(any[i] | bits[i]);
    }
  }
  const std::size_t n = parsed.info.lane_length;
  for (std::size_t lane = 0; lane < parsed.info.lane_count; ++lane) {
    if (!parsed.containers[lane].empty()) continue;
    for (std::size_t i = lane * n; i < (lane + 1) * n; ++i) {
      if ((any[i / 8] >> (i % 8) & 1) == 0) {
        return std::unexpected(
            invalid("no container, yet sample " + std::to_string(i - lane * n) + " is not masked").in_lane(lane));
      }
    }
  }
  return masks;
}

// Samples [start, start + out.size()) of a lane's container of the frame's
// version (version 2 reads only the blocks that hold them).
template <class T>
std::expected<void, QuorvelError> decode_lane(std::span<const std::uint8_t> container, std::uint8_t version,
                                              std::size_t start, std::span<T> out) {
  if constexpr (std::is_same_v<T, float>) {
    if (version == 2) return v2::decode_into(container, start, out, 1);
  }
  if (version == 2) {
    std::vector<float> samples(out.size());
    if (auto done = v2::decode_into(container, start, samples, 1); !done) return done;
    std::ranges::copy(samples, out.begin());
    return {};
  }
  const auto samples = decompress_block(container);
  if (!samples) return std::unexpected(samples.error());
  std::ranges::copy(samples->span().subspan(start, out.size()), out.begin());
  return {};
}

// Writes the masked values over samples [start, start + count) of `lanes`, row after row of `out`.
template <class T>
void restore_masked(const Masks& masks, std::span<const std::size_t> lanes, std::size_t lane_length,
                    std::size_t start, std::span<T> out) {
  const std::size_t count = lanes.empty() ? 0 : out.size() / lanes.size();
  for (std::size_t m = 0; m < mask_count; ++m) {
    if (masks[m].empty()) continue;
    for (std::size_t row = 0; row < lanes.size(); ++row) {
      const std::size_t first = lanes[row] * lane_length + start;
      for (std::size_t j = 0; j < count; ++j) {
        const std::size_t i = first + j;
        if ((masks[m][i / 8] >> (i % 8) & 1) != 0) out[row * count + j] = masked_value<T>(m);
      }
    }
  }
}

// The joint entry of `lane`, if it is a joint lane.
const LaneReference* joint_entry(std::span<const LaneReference> references, std::size_t lane) {
  const auto at = std::ranges::lower_bound(references, lane, {}, &LaneReference::lane);
  return at != references.end() && at->lane == lane ? &*at : nullptr;
}

// Samples [start, start + count) of each of `lanes` into `out`, row after row:
// their containers, those of the references of joint lanes among them (into
// rows of their own unless asked for), the joint restore, then the masks.
template <class T>
std::expected<void, QuorvelError> decode_rows(const ParsedFrame& parsed, std::span<const std::size_t> lanes,
                                              std::size_t start, std::size_t count, std::span<T> out,
                                              std::size_t threads) {
  const FrameInfo& info = parsed.info;
  const auto masks = read_masks(parsed);
  if (!masks) return std::unexpected(masks.error());
  std::unordered_map<std::size_t, std::size_t> row_of;  // lane -> its row: asked, then references
  std::vector<std::size_t> rows(lanes.begin(), lanes.end());
  for (std::size_t row = 0; row < lanes.size(); ++row) row_of.try_emplace(lanes[row], row);
  for (const std::size_t lane : lanes) {
    const LaneReference* r = joint_entry(info.references, lane);
    if (r != nullptr && row_of.try_emplace(r->reference, rows.size()).second) rows.push_back(r->reference);
  }
  std::vector<T> extra((rows.size() - lanes.size()) * count);
  const auto row_span = [&](std::size_t row) {
    return row < lanes.size() ? out.subspan(row * count, count)
                              : std::span<T>(extra).subspan((row - lanes.size()) * count, count);
  };
  std::vector<std::optional<QuorvelError>> failures(rows.size());
  parallel_for(rows.size(), threads, [&](std::size_t row) {
    const auto container = parsed.containers[rows[row]];
    if (container.empty()) return;
    try {
      auto done = decode_lane(container, info.version, start, row_span(row));
      if (!done) failures[row] = done.error().in_lane(rows[row]);
    } catch (const std::bad_alloc&) {
      failures[row] = QuorvelError::out_of_memory(count).in_lane(rows[row]);
    }
  });
  for (auto& failure : failures) {
    if (failure) return std::unexpected(std::move(*failure));
  }
  for (std::size_t row = 0; row < lanes.size(); ++row) {  // before the masks overwrite any sample
    if (const LaneReference* r = joint_entry(info.references, lanes[row])) {
      joint::restore(std::span<const T>(row_span(row_of.at(r->reference))), r->weight, row_span(row));
    }
  }
  restore_masked(*masks, lanes, info.lane_length, start, out);
  return {};
}

// The frame's sample type and an output of `samples` samples.
template <class T>
std::expected<void, QuorvelError> check_output(const FrameInfo& info, std::size_t samples, std::size_t room) {
  if (info.dtype != dtype_of<T>()) {
    return std::unexpected(QuorvelError::invalid_input("The frame holds samples of the other floating-point type"));
  }
  if (room != samples) {
    return std::unexpected(QuorvelError::invalid_input("The frame holds " + std::to_string(samples) +
                                                       " samples but the output has room for " + std::to_string(room)));
  }
  return {};
}

template <class T>
std::expected<void, QuorvelError> decode_frame_into(std::span<const std::uint8_t> frame, std::span<T> out,
                                                    std::size_t threads) {
  auto parsed = parse_frame(frame);
  if (!parsed) return std::unexpected(parsed.error());
  const FrameInfo& info = parsed->info;
  if (auto ok = check_output<T>(info, info.sample_count, out.size()); !ok) return ok;
  std::vector<std::size_t> lanes(info.lane_count);
  std::iota(lanes.begin(), lanes.end(), std::size_t{0});
  return decode_rows(*parsed, lanes, 0, info.lane_length, out, threads);
}

template <class T>
std::expected<void, QuorvelError> decode_part_into(std::span<const std::uint8_t> frame, const FramePart& part,
                                                   std::span<T> out, std::size_t threads) {
  auto parsed = parse_frame(frame);
  if (!parsed) return std::unexpected(parsed.error());
  const FrameInfo& info = parsed->info;
  for (const std::size_t lane : part.lanes) {
    if (lane >= info.lane_count) {
      return std::unexpected(QuorvelError::invalid_input("Lane " + std::to_string(lane) + " is out of range for a frame of " +
                                                         std::to_string(info.lane_count) + " lanes"));
    }
  }
  if (part.start > part.stop || part.stop > info.lane_length) {
    return std::unexpected(QuorvelError::invalid_input("Samples " + std::to_string(part.start) + " to " +
                                                       std::to_string(part.stop) + " are not inside lanes of " +
                                                       std::to_string(info.lane_length)));
  }
  const std::size_t count = part.stop - part.start;
  if (auto ok = check_output<T>(info, part.lanes.size() * count, out.size()); !ok) return ok;
  return decode_rows(*parsed, part.lanes, part.start, count, out, threads);
}

}  // namespace

namespace frame_detail {

std::expected<bool, QuorvelError> check_masks(const ParsedFrame& parsed) {
  bool any_mask = false;
  const std::size_t samples = parsed.info.sample_count;
  for (std::size_t m = 0; m < mask_count; ++m) {
    const std::size_t length = parsed.masks[m].size();
    if (length == 0) continue;
    any_mask = true;
    if ((samples + 7) / 8 > max_deflate_ratio * length || samples == 0) {
      return std::unexpected(invalid(std::string(mask_names[m]) + " mask of " + std::to_string(length) +
                                     " bytes cannot cover " + std::to_string(samples) + " samples"));
    }
  }
  return any_mask;
}

std::expected<void, QuorvelError> check_lanes(const ParsedFrame& parsed, bool padded, bool any_mask) {
  const FrameInfo& info = parsed.info;
  bool every_lane_has_a_container = true;
  for (std::size_t lane = 0; lane < info.lane_count; ++lane) {
    const auto container = parsed.containers[lane];
    if (auto ok = check_container(container, info.lane_length, info.version, padded); !ok) {
      return std::unexpected(ok.error().in_lane(lane));
    }
    every_lane_has_a_container = every_lane_has_a_container && (info.lane_length == 0 || !container.empty());
  }
  for (const LaneReference& r : info.references) {
    if (parsed.containers[r.lane].empty() || parsed.containers[r.reference].empty()) {
      return std::unexpected(invalid("Lane " + std::to_string(r.lane) + " is coded against lane " +
                                     std::to_string(r.reference) + " but one of them has no container"));
    }
  }
  if (!every_lane_has_a_container && !any_mask) return std::unexpected(invalid("A lane without a container needs a mask"));
  return {};
}

}  // namespace frame_detail

std::size_t frame_overhead(std::span<const std::uint64_t> shape, FrameLayout layout) {
  if (layout == FrameLayout::compact) return compact_overhead(shape);
  std::size_t lanes = 1;
  for (std::size_t axis = 0; axis + 1 < shape.size(); ++axis) lanes *= static_cast<std::size_t>(shape[axis]);
  return frame_fixed_size + 8 * shape.size() + 4 * lanes + frame_crc_size;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode_frame(std::span<const float> samples,
                                                                    std::span<const std::uint64_t> shape,
                                                                    const FrameSettings& settings, bool joint,
                                                                    FrameLayout layout) {
  return encode_frame_of(samples, shape, settings, joint, layout);
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode_frame(std::span<const double> samples,
                                                                    std::span<const std::uint64_t> shape,
                                                                    const FrameSettings& settings, bool joint,
                                                                    FrameLayout layout) {
  return encode_frame_of(samples, shape, settings, joint, layout);
}

std::expected<FrameInfo, QuorvelError> read_frame_info(std::span<const std::uint8_t> frame) {
  auto parsed = parse_frame(frame);
  if (!parsed) return std::unexpected(parsed.error());
  return std::move(parsed->info);
}

std::expected<void, QuorvelError> decode_frame(std::span<const std::uint8_t> frame, std::span<float> out,
                                               std::size_t threads) {
  return decode_frame_into(frame, out, threads);
}

std::expected<void, QuorvelError> decode_frame(std::span<const std::uint8_t> frame, std::span<double> out,
                                               std::size_t threads) {
  return decode_frame_into(frame, out, threads);
}

std::expected<void, QuorvelError> decode_frame_part(std::span<const std::uint8_t> frame, const FramePart& part,
                                                    std::span<float> out, std::size_t threads) {
  return decode_part_into(frame, part, out, threads);
}

std::expected<void, QuorvelError> decode_frame_part(std::span<const std::uint8_t> frame, const FramePart& part,
                                                    std::span<double> out, std::size_t threads) {
  return decode_part_into(frame, part, out, threads);
}

}  // namespace quorvel
