// codec/v2_stages.hpp: the version-2 encoder's stages (input, canonical codes, containers, plans), shared by its files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "codec/quantiser.hpp"
#include "codec/v2_encoder.hpp"

namespace quorvel::v2::stages {

// The samples as given.
using Samples = std::variant<std::span<const float>, std::span<const double>>;

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
  [[nodiscard]] double peak() const { return std::max(std::fabs(double{lowest}), std::fabs(double{highest})); }
};

// A target's figure of a distortion.
struct Measure {
  TargetKind kind;
  std::size_t n;
  double signal_sum_squares;
  double unit;

  [[nodiscard]] double operator()(const Distortion& d) const;
};

// A decoded signal as its container stores it: codes on a grid (grid), with
// corrections (corrected), or float32 ordinals (ordinals).
struct Codes {
  Mode mode = Mode::grid;
  Grid grid;
  std::vector<std::int32_t> codes;
  std::vector<std::int32_t> corrections;
};

struct Settings {
  EncodeOptions options;
  bool interpolated = false;  // try interpolation residuals too (targets with a dead zone)
};

// The smallest container of these codes among the codings the settings allow.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, AimError> smallest_container(const Codes& codes,
                                                                                   const Settings& settings);

// Distortion of decoded samples against the samples as given.
[[nodiscard]] Distortion distortion(const Input& input, std::span<const float> decoded);

struct Extremes {
  float lowest;
  float highest;
  [[nodiscard]] double peak() const { return std::max(std::fabs(double{lowest}), std::fabs(double{highest})); }
};
[[nodiscard]] Extremes extremes(std::span<const float> y);

// Codes of the samples exactly as they are: on the grid detected on them,
// else float32 ordinals.
[[nodiscard]] Codes lossless_codes(std::span<const float> y, const std::optional<Grid>& detected,
                                   std::vector<std::int32_t>&& detected_codes);

// The containers of each kind of target, before the check by decoding.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, AimError> encode_max_error(const Input& input, double e,
                                                                                 const Settings& settings);
[[nodiscard]] std::expected<std::vector<std::uint8_t>, AimError> encode_rms(const Input& input, double rmse,
                                                                           const Settings& settings);
[[nodiscard]] std::expected<std::vector<std::uint8_t>, AimError> encode_budget(const Input& input, double budget,
                                                                              const Settings& settings);

// The failures a plan reports.
[[nodiscard]] AimError unreachable(Target target, double best);

}  // namespace quorvel::v2::stages
