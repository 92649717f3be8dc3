// rimble/avx/cdf97f.hpp: the CDF 9/7 lifting executor on AVX2 with fused multiply-add.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "rimble/cdf97f.hpp"
#include "rimble/lifting.hpp"
#include "rimble/records.hpp"

namespace rimble::avx::cdf97f {

// Same steps, constants, sizes and errors as rimble::cdf97f::Cdf97; each weighted step is one
// fused multiply-add, so coefficients may differ from the portable ones in the last bits.
// Stateless: it can be constructed on any processor; only its two kernels need AVX2 and FMA.
class AvxCdf97 final : public rimble::lifting::LiftingExecutor<AvxCdf97> {
 public:
  static constexpr std::size_t kMinLength = rimble::cdf97f::Cdf97::kMinLength;
  static constexpr std::size_t kFilterLength = rimble::cdf97f::Cdf97::kFilterLength;

  [[gnu::target("avx2,fma")]] static void execute_forward_impl(std::span<const float> input,
                                                               std::span<float> approximations,
                                                               std::span<float> details);
  // The inverse streams the bands straight into the output, with no copies.
  static constexpr std::size_t inverse_work_size(std::size_t /*n*/) { return 0; }
  [[gnu::target("avx2,fma")]] static void execute_inverse_impl(std::span<const float> approximations,
                                                               std::span<const float> details,
                                                               std::span<float> output, std::span<float> work);
  // The decoder's inverse level: details as 16-bit integers times `step`, and `map` (when given)
  // applied to every output sample; the bits of widening, execute_inverse_impl and map in turn.
  [[gnu::target("avx2,fma")]] static void execute_inverse_quantised_impl(std::span<const float> approximations,
                                                                         std::span<const std::int16_t> details,
                                                                         float step, std::span<float> output,
                                                                         const OutputMap<float>* map);
};

}  // namespace rimble::avx::cdf97f
