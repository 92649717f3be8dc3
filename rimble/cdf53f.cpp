// rimble/cdf53f.cpp: portable CDF 5/3 lifting kernels.
#include "rimble/cdf53f.hpp"

namespace rimble::cdf53f {

// Split into even and odd samples, predict each odd sample from its two even neighbours, then
// update each even sample with its two new details.
void Cdf53::execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                 std::span<float> details) {
  lifting::split(input, approximations, details);
  lifting::predict(details, approximations, kPredict);
  lifting::update(approximations, details, kUpdate);
}

// The same steps undone in reverse order, on copies of the bands in work.
void Cdf53::execute_inverse_impl(std::span<const float> approximations, std::span<const float> details,
                                 std::span<float> output, std::span<float> work) {
  const std::span<float> even = work.first(approximations.size());
  const std::span<float> odd = work.subspan(approximations.size(), details.size());
  std::ranges::copy(approximations, even.begin());
  std::ranges::copy(details, odd.begin());
  lifting::update(even, odd, kUndoUpdate);
  lifting::predict(odd, even, kUndoPredict);
  lifting::merge(even, odd, output);
}

}  // namespace rimble::cdf53f
