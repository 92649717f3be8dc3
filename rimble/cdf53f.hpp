// rimble/cdf53f.hpp: the CDF 5/3 wavelet by lifting on float signals, portable executor.
#pragma once

#include <cstddef>
#include <span>

#include "rimble/lifting.hpp"

namespace rimble::cdf53f {

// The lifting steps of the reversible 5/3 filter, in floating point and without rounding or
// scaling: approximations stay on the scale of the signal. Every weight is a power of two, so
// each product is exact (outside the subnormal range) and vector kernels with fused
// multiply-add give the same bits.
inline constexpr float kPredict = -0.5f;
inline constexpr float kUpdate = 0.25f;
inline constexpr float kUndoUpdate = -0.25f;
inline constexpr float kUndoPredict = 0.5f;

// Stateless; needs no scratch memory and no border mode (the ends mirror, see rimble/lifting.hpp).
class Cdf53 final : public lifting::LiftingExecutor<Cdf53> {
 public:
  static constexpr std::size_t kMinLength = 3;
  static constexpr std::size_t kFilterLength = 6;

  static void execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                   std::span<float> details);
  // The inverse lifts copies of both bands.
  static constexpr std::size_t inverse_work_size(std::size_t n) { return n; }
  static void execute_inverse_impl(std::span<const float> approximations, std::span<const float> details,
                                   std::span<float> output, std::span<float> work);
};

}  // namespace rimble::cdf53f
