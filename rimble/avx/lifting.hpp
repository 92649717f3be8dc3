// rimble/avx/lifting.hpp: the lifting executors on AVX2 with fused multiply-add, one per scheme.
#pragma once

#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include <cstddef>
#include <cstdint>
#include <span>

#include "rimble/cdf53f.hpp"
#include "rimble/cdf97f.hpp"
#include "rimble/lifting.hpp"
#include "rimble/records.hpp"

namespace rimble::avx {

// A scheme's steps, sizes and errors as in its portable executor, its kernels on AVX2 with fused
// multiply-add (rimble/avx/lifting.cpp): for CDF 5/3, whose weights are powers of two, the same
// bits; for CDF 9/7 each weighted step is one fused multiply-add, so coefficients may differ from
// the portable ones in the last bits. Stateless: it can be constructed on any processor; only its
// kernels need AVX2 and FMA.
template <const auto& kScheme>
class AvxLifting final : public rimble::lifting::LiftingExecutor<AvxLifting<kScheme>> {
 public:
  static constexpr std::size_t kMinLength = kScheme.min_length;
  static constexpr std::size_t kFilterLength = kScheme.filter_length;

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

namespace cdf53f {
using AvxCdf53 = AvxLifting<rimble::cdf53f::kScheme>;
}  // namespace cdf53f

namespace cdf97f {
using AvxCdf97 = AvxLifting<rimble::cdf97f::kScheme>;
}  // namespace cdf97f

}  // namespace rimble::avx

#endif
