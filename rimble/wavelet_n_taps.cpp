// rimble/wavelet_n_taps.cpp: the generic filter bank.
#include "rimble/wavelet_n_taps.hpp"

#include "rimble/util.hpp"

namespace rimble {

template <class T>
WaveletNTaps<T>::WaveletNTaps(BorderMode mode, std::span<const T> low)
    : low_(low.begin(), low.end()), high_(util::low_pass_to_high(low)), filter_length_(low.size()), mode_(mode) {
  if (filter_length_ < 2 || filter_length_ % 2 != 0) {
    fatal("internal error: a filter bank needs an even number of taps, at least 2");
  }
}

template <class T>
Result<void> WaveletNTaps<T>::execute_forward(std::span<const T> input, std::span<T> approximations,
                                              std::span<T> details) const {
  auto scratch = zeroed_vector<T>(required_scratch_size(input.size()));
  if (!scratch) return std::unexpected(scratch.error());
  return execute_forward_with_scratch(input, approximations, details, *scratch);
}

template <class T>
Result<void> WaveletNTaps<T>::execute_forward_with_scratch(std::span<const T> input, std::span<T> approximations,
                                                           std::span<T> details, std::span<T> scratch) const {
  const auto arena =
      filter_bank::prepare_arena<T>(input, filter_length_, mode_, approximations.size(), details.size(), scratch);
  if (!arena) return std::unexpected(arena.error());
  filter_bank::analyse_run(arena->data(), approximations.size(), low_.data(), high_.data(), filter_length_,
                           approximations.data(), details.data());
  return {};
}

template <class T>
std::size_t WaveletNTaps<T>::required_scratch_size(std::size_t n) const {
  return filter_bank::arena_length(n, filter_length_);
}

template <class T>
BandLengths WaveletNTaps<T>::dwt_size(std::size_t n) const {
  const std::size_t out = filter_bank::band_length(n, filter_length_);
  return {out, out};
}

template <class T>
Result<void> WaveletNTaps<T>::execute_inverse(std::span<const T> approximations, std::span<const T> details,
                                              std::span<T> output) const {
  if (auto checked = filter_bank::check_inverse(approximations.size(), details.size(), output.size(), filter_length_);
      !checked) {
    return checked;
  }
  filter_bank::synthesise(approximations, details, low_.data(), high_.data(), filter_length_, output);
  return {};
}

template <class T>
std::size_t WaveletNTaps<T>::idwt_size(BandLengths lengths) const {
  return filter_bank::reconstruction_length(lengths.approx_length, filter_length_);
}

template class WaveletNTaps<float>;

}  // namespace rimble
