// rimble/wavelet_fixed_taps.cpp: the fixed-length filter banks.
#include "rimble/wavelet_fixed_taps.hpp"

#include "rimble/util.hpp"

namespace rimble {

template <class T, std::size_t L>
WaveletFixedTaps<T, L>::WaveletFixedTaps(BorderMode mode, const std::array<T, L>& low)
    : mode_(mode), low_(low), high_(util::low_pass_to_high(low)) {}

template <class T, std::size_t L>
Result<void> WaveletFixedTaps<T, L>::execute_forward(std::span<const T> input, std::span<T> approximations,
                                                     std::span<T> details) const {
  if (auto checked = filter_bank::check_forward(input.size(), L, approximations.size(), details.size()); !checked) {
    return checked;
  }
  constexpr std::integral_constant<std::size_t, L> length{};
  constexpr auto reach = static_cast<std::int64_t>(L - 2);  // window of output i starts at 2i - reach
  const auto split = filter_bank::forward_split(input.size(), L);
  const BorderInterpolation border(mode_, 0, static_cast<std::int64_t>(input.size()));
  const auto border_output = [&](std::size_t i) {
    std::array<T, L> window;
    border.gather(input, 2 * static_cast<std::int64_t>(i) - reach, std::span<T>(window));
    filter_bank::analyse(window.data(), low_.data(), high_.data(), length, approximations[i], details[i]);
  };
  for (std::size_t i = 0; i < split.interior_begin; ++i) border_output(i);
  // The first interior window, of output L/2 - 1, starts at x[0].
  filter_bank::analyse_run(input.data(), split.interior_end - split.interior_begin, low_.data(), high_.data(), length,
                           approximations.data() + split.interior_begin, details.data() + split.interior_begin);
  for (std::size_t i = split.interior_end; i < split.count; ++i) border_output(i);
  return {};
}

template <class T, std::size_t L>
Result<void> WaveletFixedTaps<T, L>::execute_forward_with_scratch(std::span<const T> input,
                                                                  std::span<T> approximations, std::span<T> details,
                                                                  std::span<T>) const {
  return execute_forward(input, approximations, details);
}

template <class T, std::size_t L>
BandLengths WaveletFixedTaps<T, L>::dwt_size(std::size_t n) const {
  const std::size_t out = filter_bank::band_length(n, L);
  return {out, out};
}

template <class T, std::size_t L>
Result<void> WaveletFixedTaps<T, L>::execute_inverse(std::span<const T> approximations, std::span<const T> details,
                                                     std::span<T> output) const {
  if (auto checked = filter_bank::check_inverse(approximations.size(), details.size(), output.size(), L); !checked) {
    return checked;
  }
  filter_bank::synthesise(approximations, details, low_.data(), high_.data(),
                          std::integral_constant<std::size_t, L>{}, output);
  return {};
}

template <class T, std::size_t L>
std::size_t WaveletFixedTaps<T, L>::idwt_size(BandLengths lengths) const {
  return filter_bank::reconstruction_length(lengths.approx_length, L);
}

template class WaveletFixedTaps<float, 2>;
template class WaveletFixedTaps<float, 4>;
template class WaveletFixedTaps<float, 6>;
template class WaveletFixedTaps<float, 8>;
template class WaveletFixedTaps<float, 10>;
template class WaveletFixedTaps<float, 12>;
template class WaveletFixedTaps<float, 16>;

}  // namespace rimble
