// rimble/wavelet_fixed_taps.hpp: one level of a filter bank whose length L is
// a constant of the type (Wavelet2Taps ... Wavelet16Taps are its aliases).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <type_traits>

#include "rimble/border_mode.hpp"
#include "rimble/err.hpp"
#include "rimble/interfaces.hpp"
#include "rimble/wavelet_n_taps.hpp"

namespace rimble {

// Computes exactly what WaveletNTaps computes with the same filters and mode,
// bit for bit, without an arena: interior windows are read in place, and
// only the L/2 - 1 outputs at the left end and the at most L/2 at the right
// end gather their window through BorderInterpolation. Needs no scratch and
// allocates nothing.
template <class T, std::size_t L>
class WaveletFixedTaps final : public IncompleteDwtExecutor<T> {
  static_assert(L >= 2 && L % 2 == 0, "a filter bank has an even number of taps");

 public:
  static constexpr std::size_t taps = L;

  // The high-pass filter is derived by the quadrature-mirror rule.
  WaveletFixedTaps(BorderMode mode, const std::array<T, L>& low);

  [[nodiscard]] Result<void> execute_forward(std::span<const T> input, std::span<T> approximations,
                                             std::span<T> details) const override;
  [[nodiscard]] Result<void> execute_forward_with_scratch(std::span<const T> input, std::span<T> approximations,
                                                          std::span<T> details, std::span<T> scratch) const override;
  [[nodiscard]] std::size_t required_scratch_size(std::size_t) const override { return 0; }
  [[nodiscard]] BandLengths dwt_size(std::size_t n) const override;
  [[nodiscard]] Result<void> execute_inverse(std::span<const T> approximations, std::span<const T> details,
                                             std::span<T> output) const override;
  [[nodiscard]] std::size_t idwt_size(BandLengths lengths) const override;
  [[nodiscard]] std::size_t filter_length() const override { return L; }

  [[nodiscard]] const std::array<T, L>& low() const { return low_; }
  [[nodiscard]] const std::array<T, L>& high() const { return high_; }
  [[nodiscard]] BorderMode border_mode() const { return mode_; }

 private:
  BorderMode mode_;
  std::array<T, L> low_;
  std::array<T, L> high_;
};

extern template class WaveletFixedTaps<float, 2>;
extern template class WaveletFixedTaps<float, 4>;
extern template class WaveletFixedTaps<float, 6>;
extern template class WaveletFixedTaps<float, 8>;
extern template class WaveletFixedTaps<float, 10>;
extern template class WaveletFixedTaps<float, 12>;
extern template class WaveletFixedTaps<float, 16>;

}  // namespace rimble
