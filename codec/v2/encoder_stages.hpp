// codec/v2/encoder_stages.hpp: the version-2 encoder's stages (input, canonical codes, containers, plans), shared by
// its files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "codec/common/buffer.hpp"
#include "codec/v2/quantiser.hpp"
#include "codec/v2/encoder.hpp"

namespace quorvel::v2::stages {

struct Extremes {
  float lowest;
  float highest;
  [[nodiscard]] double peak() const {
    return std::max(std::fabs(double{lowest}), std::fabs(double{highest}));
  }
};

// Everything the plans need about the samples, fixed for the call.
struct Input {
  Samples x;
  std::span<const float> xf;  // the samples' float32 values (x itself for float32 input)
  float lowest = 0.0f;        // extremes of xf
  float highest = 0.0f;
  double unit = 1.0;                // a power of two near 1 / the largest magnitude
  double signal_sum_squares = 0.0;  // of the samples times unit, for PRD
  Distortion rounding;              // of xf against x: what float32 costs float64 input

  [[nodiscard]] std::size_t size() const { return xf.size(); }
  [[nodiscard]] Extremes extremes() const { return {lowest, highest}; }
  [[nodiscard]] double peak() const { return extremes().peak(); }
};

// A decoded signal as its container stores it: codes on a grid (grid), with
// corrections (corrected), or float32 ordinals (ordinals).
struct Codes {
  Mode mode = Mode::grid;
  Grid grid;
  Buffer<std::int32_t> codes;
  Buffer<std::int32_t> corrections;
  std::vector<std::int32_t> distinct;  // the sorted distinct codes, where a stage knows them (else empty)
  std::optional<CellFilter> filter;    // grid codes only
  std::vector<std::uint32_t> band_steps;  // lifted: the bands' steps (codes: the band integers)
  std::uint32_t multiplier = 0;           // scaled: K (codes: the fine grid's codes)
};

[[nodiscard]] inline Codes grid_codes(const Grid& grid, Buffer<std::int32_t> codes) {
  return {Mode::grid, grid, std::move(codes), {}, {}, {}, {}};
}

struct Settings {
  EncodeOptions options;
  bool interpolated = false;  // try interpolation residuals too (targets with a dead zone)
  bool strict_bounds = false;  // an RMSE target tries strict bounds too (not PRD: its RMSE moves with the
                               // decoded signal's energy, so that encoding that again would not find it)
};

// The smallest container of these codes among the codings the settings allow.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> smallest_container(
    const Codes& codes, const Settings& settings);

// Bytes of the blocks the sequence coder makes of `codes`.
[[nodiscard]] std::expected<std::size_t, QuorvelError> coded_size(std::span<const std::int32_t> codes,
                                                                  const EncodeOptions& options);

// Distortion of decoded samples against the samples as given.
[[nodiscard]] Distortion distortion(const Input& input, std::span<const float> decoded);

[[nodiscard]] Extremes extremes(std::span<const float> y);

// ---------------------------------------------------------------- canonical codes (v2_plans.cpp)
//
// Idempotence rests on one rule: a container is a function of the samples it
// decodes to. Every plan first asks whether the samples may be kept as they
// are (constant; on one of the target's own grids, coarsest first; or, for a
// strict bound, on a grid of their own at least 2e coarse), and if so codes
// them on that grid. A signal the plan quantises lands on one of the target's
// grids, so encoding the decoded signal again keeps it, on the same grid: the
// quantiser passes its result through the same rule before it codes it.

// Below 2e by no more than double's rounding of the figures involved.
inline constexpr double keep_slack = 1.0 - 0x1p-20;

// Grid detection on a signal, kept for the steps that follow.
struct Detected {
  std::optional<Grid> grid;
  Buffer<std::int32_t> codes;
};

// A quantisation's own grid and codes, which the rule need not check again:
// a signal kept on that grid takes the codes.
struct Known {
  Grid grid;
  Buffer<std::int32_t>& codes;
};

// All samples equal: codes 0 on a grid whose origin is the value.
[[nodiscard]] std::optional<Codes> constant(std::size_t n, const Extremes& ex);

// Kept under a strict bound e: constant, on one of the bound's grids, or on a
// grid of its own at least 2e coarse (no coarser grid meets the bound).
[[nodiscard]] std::optional<Codes> keep_for_bound(std::span<const float> y, const Extremes& ex, double e,
                                                  Detected& detected, Known* known);

// Every m-th point of the grid the samples sit on (their codes on it given),
// m the largest number whose moves of (m - 1) / 2 points stay within e (an
// even m's values lie halfway between two points),
// when that is at least as coarse as 2e, in the codes keep_for_bound gives
// the decoded signal (v2_multiple.cpp). The codes' buffer becomes the result's.
[[nodiscard]] std::optional<Codes> on_multiple(const Input& input, double e, const Grid& grid,
                                               Buffer<std::int32_t> codes);

// ---------------------------------------------------------------- scaled residuals (plan_scaled.cpp)

// A signal the scaled quantiser made for a strict bound e: its codes on the fine grid of one of the
// bound's steps and a multiplier, which quantising it again gives back.
[[nodiscard]] std::optional<Codes> keep_scaled(std::span<const float> y, const Extremes& ex, double e,
                                               std::size_t block_length);

// The smaller of `container` and the scaled coding's under the bound e, on the fine grids of `step`.
// Where the choice is made on sampled blocks, a scaling is coded whole only when it codes them in less
// than `lead` times the container's own bytes there.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> or_scaled(
    std::expected<std::vector<std::uint8_t>, QuorvelError> container, const Input& input, double e, double step,
    const Settings& settings, double lead = 1.0);

// ---------------------------------------------------------------- the lifted coding (v2_lifted.cpp)

// A signal the lifted coding made for an RMSE target: its codes on a zero-anchored rung near the
// target's fine rung, whose lifted bands share a step each (at least 2 in every band not all zero).
[[nodiscard]] std::optional<Codes> keep_lifted(std::span<const float> y, const Extremes& ex, double rmse,
                                               std::size_t block_length);

// The smaller of `container` and the lifted coding's that meets the RMSE target.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> or_lifted(
    std::expected<std::vector<std::uint8_t>, QuorvelError> container, const Input& input, double rmse,
    const Settings& settings);

// The containers of each kind of target, before the check by decoding.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode_max_error(
    const Input& input, double e, const Settings& settings);
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode_rms(const Input& input,
                                                                                double rmse,
                                                                                const Settings& settings);
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode_budget(const Input& input,
                                                                                   double budget,
                                                                                   const Settings& settings);

}  // namespace quorvel::v2::stages
