// rimble/cdf97f.cpp: portable CDF 9/7 lifting kernels.
#include "rimble/cdf97f.hpp"

namespace rimble::cdf97f {

void dwt97_forward_update_even(std::span<float> even, std::span<const float> details, float w) {
  lifting::update(even, details, w);
}

// Split, then predict, update, predict, update, and scale the two bands.
void Cdf97::execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                 std::span<float> details) {
  lifting::split(input, approximations, details);
  lifting::predict(details, approximations, kAlpha);
  dwt97_forward_update_even(approximations, details, kBeta);
  lifting::predict(details, approximations, kGamma);
  dwt97_forward_update_even(approximations, details, kDelta);
  lifting::scale(approximations, kK);
  lifting::scale(details, kKPrime);
}

// Unscale copies of the bands in work, undo the four steps in reverse order, interleave.
void Cdf97::execute_inverse_impl(std::span<const float> approximations, std::span<const float> details,
                                 std::span<float> output, std::span<float> work) {
  const std::span<float> even = work.first(approximations.size());
  const std::span<float> odd = work.subspan(approximations.size(), details.size());
  for (std::size_t i = 0; i < even.size(); ++i) {
    even[i] = approximations[i] * kKPrime;
  }
  for (std::size_t i = 0; i < odd.size(); ++i) {
    odd[i] = details[i] * kK;
  }
  dwt97_forward_update_even(even, odd, -kDelta);
  lifting::predict(odd, even, -kGamma);
  dwt97_forward_update_even(even, odd, -kBeta);
  lifting::predict(odd, even, -kAlpha);
  lifting::merge(even, odd, output);
}

}  // namespace rimble::cdf97f
