// codec/front/joint.hpp: lanes of a frame coded as the difference against another lane.
#pragma once

// Channels of one recording share their reference, their mains hum and their
// events, so a lane is often cheaper to code as r = x - w y, where y is the
// decoded samples of another lane of the frame and w a fixed-point weight.
// The reference is always a lane coded alone (chains of depth one), so one
// lane never costs more than two containers to decode. Because y is what the
// decoder has, the lane's error is r's error plus the final rounding, which
// the encoder checks on the restored samples before it keeps a joint lane.
//
// The restore, bit for bit: p = double(w) * double(y) (exact: 16 by 24 bits),
// s = p * 2^-12 + double(r) rounded once to double (round to nearest even),
// then float32(s) rounded to nearest even. As p is exact, a fused
// multiply-add gives the same s; a float64 lane is restored in float32 and
// widened, as its containers hold float32.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <vector>

#include "codec/common/error.hpp"
#include "codec/front/frame.hpp"

namespace quorvel::joint {

// One restored sample.
[[nodiscard]] inline float restore_sample(double reference, std::int16_t weight, double residual) {
  return static_cast<float>(static_cast<double>(weight) * reference * 0x1p-12 + residual);
}

// Restores a lane in place from its decoded residual and its reference's decoded samples.
template <class T>
void restore(std::span<const T> reference, std::int16_t weight, std::span<T> lane) {
  for (std::size_t i = 0; i < lane.size(); ++i) lane[i] = static_cast<T>(restore_sample(reference[i], weight, lane[i]));
}

// The reference table that follows the lane table: a u32 count K, then K
// entries of u32 lane, u32 reference lane, i16 weight. `bytes` starts at the
// count. Checks every entry against the lane count; sets `size` to the
// table's bytes.
[[nodiscard]] std::expected<std::vector<LaneReference>, QuorvelError> read_table(std::span<const std::uint8_t> bytes,
                                                                               std::size_t lane_count,
                                                                               std::size_t& size);
[[nodiscard]] std::size_t table_size(std::span<const LaneReference> references);

// The rules every reference table follows, in either layout: 1 <= K < N,
// lanes and references below N, lanes strictly increasing, no lane its own
// reference, weight not 0, and every reference a lane coded alone.
[[nodiscard]] std::expected<void, QuorvelError> check_table(std::span<const LaneReference> references,
                                                            std::size_t lane_count);
void write_table(std::span<const LaneReference> references, std::uint8_t* out);

// What the frame gives the joint coder: a lane's samples with its gaps
// bridged (as its container codes them), one lane's container of some samples
// at a target, and samples [start, start + out.size()) of a container.
struct LaneCodec {
  std::function<std::vector<double>(std::size_t)> filled;
  std::function<std::expected<std::vector<std::uint8_t>, QuorvelError>(std::span<const double>, Target)> encode;
  std::function<std::expected<void, QuorvelError>(std::span<const std::uint8_t>, std::size_t, std::span<float>)> decode;
};

// Chooses references for the lanes of `samples` (C order, lanes of
// `lane_length`), whose containers coded alone are `containers`, and replaces
// the container of every lane whose joint coding meets `target` (max error,
// RMSE or PRD on the lane's finite samples) and is smaller by more than its
// table entry and the table's count. Returns the references, in lane order.
template <class T>
[[nodiscard]] std::vector<LaneReference> code_jointly(std::span<const T> samples, std::size_t lane_length,
                                                    Target target, std::size_t threads, const LaneCodec& codec,
                                                    std::vector<std::vector<std::uint8_t>>& containers);

// The frame's entry: code_jointly with the lanes' own encoder and decoder
// under `settings` (which has a target).
template <class T>
[[nodiscard]] std::vector<LaneReference> code_lanes(std::span<const T> samples, std::size_t lane_length,
                                                  const FrameSettings& settings,
                                                  std::vector<std::vector<std::uint8_t>>& containers);

}  // namespace quorvel::joint
