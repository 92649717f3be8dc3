// codec/v2/encoder.hpp: the version-2 encoder, which meets an error bound or a byte budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/common/error.hpp"
#include "codec/v2/container.hpp"
#include "codec/common/vocabulary.hpp"

namespace quorvel::v2 {

struct EncodeOptions {
  Effort effort = Effort::default_;
  std::size_t threads = 1;  // blocks coded at once; 0: one per processor
  unsigned block_log2 = default_block_log2;
  bool lossless = false;  // the sequence coder tries more predictors at default effort (max_error 0 sets it)
};

// Encodes 1 to 2147483647 finite samples into a version-2 container whose
// decoded signal meets `target`, measured against the samples as given (float64
// input against its float64 values; the container holds float32 samples).
//
// - max_error e > 0 holds for every sample by construction: quantisation in the
//   signal domain to a grid of step just under 2e, or to multiples of the
//   grid the samples already sit on (halfway between its points when even), or
//   residuals against cubic or linear interpolation from decoded samples
//   rounded to that step on a grid 4 to 64 times finer (codings 5 and 6),
//   whichever container is smaller.
// - rmse, prd and max_bytes take the coarsest (or, for a budget, the finest)
//   step of an absolute ladder that meets them, plain or with closed-loop
//   interpolation and a dead zone, whichever container is smaller; an RMSE
//   target also tries the strict bounds sqrt(3), 1.4 and 1 times it.
// - max_error 0 is bit-exact: the decoded float32 samples equal the input's.
//   Float64 input can only be met when every sample is a float32 value;
//   otherwise Unreachable names the float32 rounding error, the finest figure
//   any float32 signal reaches (the same holds for the other error targets).
// - A target finer than half the step of a grid the samples sit on (PCM, EDF,
//   an ADC's step, decimal data) gives back exactly the input samples.
// - The container is a function of the decoded samples: encoding them again
//   with the same target and options gives the same bytes.
//
// The container is decoded and measured once before it is returned; a target
// that cannot be met gives Unreachable with the best figure reachable.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode(
    std::span<const float> samples, Target target, const EncodeOptions& options = {});
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode(
    std::span<const double> samples, Target target, const EncodeOptions& options = {});

}  // namespace quorvel::v2
