// rimble/wavelet_n_taps.hpp: one level of a two-channel filter bank of any
// even length, and the rules that every filter-bank executor shares.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "rimble/border_mode.hpp"
#include "rimble/err.hpp"
#include "rimble/filter_padding.hpp"
#include "rimble/interfaces.hpp"

namespace rimble {

// Shapes, checks and loops common to the generic, the fixed-length and the
// vector filter banks. Forward output i of a filter of L taps covers the
// signal window x[2i - (L-2)] .. x[2i + 1]; the inverse adds coefficient pair
// j into the same window of the output. The loops take the tap count either
// as a std::size_t or as a std::integral_constant, so that one body serves
// the generic executor and, fully unrolled, the fixed-length ones.
namespace filter_bank {

// Approximation and detail length of one level: floor((n + L - 1) / 2).
[[nodiscard]] constexpr std::size_t band_length(std::size_t n, std::size_t taps) { return (n + taps - 1) / 2; }

// Reconstructed length 2m - L + 2, in wrapping unsigned arithmetic: bands
// shorter than L/2 - 1 give a huge value that no output slice can match.
[[nodiscard]] constexpr std::size_t reconstruction_length(std::size_t m, std::size_t taps) {
  return 2 * m - taps + 2;
}

// Arena of the generic executors: L - 2 extension samples on the left, L - 2
// (even n) or L - 1 (odd n) on the right.
[[nodiscard]] constexpr std::size_t arena_length(std::size_t n, std::size_t taps) {
  return 2 * band_length(n, taps) + taps - 2;
}

// Forward outputs [0, interior_begin) and [interior_end, count) have windows
// that cross an end of a signal of n >= L samples; the others read only real
// samples.
struct ForwardSplit {
  std::size_t interior_begin;
  std::size_t interior_end;
  std::size_t count;
};
[[nodiscard]] constexpr ForwardSplit forward_split(std::size_t n, std::size_t taps) {
  return {taps / 2 - 1, n / 2, band_length(n, taps)};
}

// Checks of a forward step, in order: input length, approximation length,
// details length.
[[nodiscard]] inline Result<void> check_forward(std::size_t n, std::size_t taps, std::size_t approx_length,
                                                std::size_t details_length) {
  if (n < taps) return std::unexpected(RimbleError::input_too_short(n, taps));
  const std::size_t out = band_length(n, taps);
  if (approx_length != out) return std::unexpected(RimbleError::half_length_mismatch(approx_length));
  if (details_length != out) return std::unexpected(RimbleError::half_length_mismatch(details_length));
  return {};
}

// Checks of an inverse step, in order: equal bands, output length.
[[nodiscard]] inline Result<void> check_inverse(std::size_t approx_length, std::size_t details_length,
                                                std::size_t output_length, std::size_t taps) {
  if (approx_length != details_length) {
    return std::unexpected(RimbleError::approx_details_mismatch(approx_length, details_length));
  }
  const std::size_t required = reconstruction_length(approx_length, taps);
  if (output_length != required) return std::unexpected(RimbleError::output_size_mismatch(required, output_length));
  return {};
}

// The forward checks of the arena-based executors, then the arena written by
// the process-wide arena writer into scratch[0, A). Returns the arena.
template <class T>
[[nodiscard]] Result<std::span<const T>> prepare_arena(std::span<const T> input, std::size_t taps, BorderMode mode,
                                                      std::size_t approx_length, std::size_t details_length,
                                                      std::span<T> scratch) {
  if (auto checked = check_forward(input.size(), taps, approx_length, details_length); !checked) {
    return std::unexpected(checked.error());
  }
  const std::size_t arena_size = arena_length(input.size(), taps);
  if (scratch.size() < arena_size) {
    return std::unexpected(RimbleError::scratch_too_small(arena_size, scratch.size()));
  }
  const std::size_t left = (arena_size - input.size()) / 2;
  const std::size_t right = arena_size - input.size() - left;
  const std::span<T> arena = scratch.first(arena_size);
  if (auto written = MakeArenaFactoryProvider<T>::make_arena_writer_1d_executor()(input, arena, left, right, mode);
      !written) {
    return std::unexpected(written.error());
  }
  return std::span<const T>(arena);
}

// approx = sum low[j] * window[j], details = sum high[j] * window[j]: each
// sum starts at +0 and adds the separately rounded products in increasing j.
template <class T, class Taps>
[[gnu::always_inline]] inline void analyse(const T* window, const T* low, const T* high, Taps taps, T& approx,
                                           T& details) {
  T a = T(0);
  T d = T(0);
  for (std::size_t j = 0; j < static_cast<std::size_t>(taps); ++j) {
    const T sample = window[j];
    a = a + low[j] * sample;
    d = d + high[j] * sample;
  }
  approx = a;
  details = d;
}

// Outputs [0, count) whose windows start at first, first + 2, ...
template <class T, class Taps>
inline void analyse_run(const T* first, std::size_t count, const T* low, const T* high, Taps taps, T* approx,
                        T* details) {
  for (std::size_t i = 0; i < count; ++i) analyse(first + 2 * i, low, high, taps, approx[i], details[i]);
}

// Adds every coefficient pair into the output window it covers, pairs in
// increasing j and taps in increasing k, with
//   output[t] = low[k] * approx[j] + (high[k] * details[j] + output[t]),
// dropping the contributions that fall outside the output. Only the first
// and last L/2 - 1 pairs need the bound check.
template <class T, class Taps>
inline void synthesise(std::span<const T> approx, std::span<const T> details, const T* low, const T* high, Taps taps,
                       std::span<T> output) {
  const std::size_t length = static_cast<std::size_t>(taps);
  const std::size_t m = approx.size();
  const auto size = static_cast<std::ptrdiff_t>(output.size());
  const auto add_clipped = [&](std::size_t j) {
    const std::ptrdiff_t first = 2 * static_cast<std::ptrdiff_t>(j) - static_cast<std::ptrdiff_t>(length - 2);
    for (std::size_t k = 0; k < length; ++k) {
      const std::ptrdiff_t t = first + static_cast<std::ptrdiff_t>(k);
      if (t >= 0 && t < size) output[t] = low[k] * approx[j] + (high[k] * details[j] + output[t]);
    }
  };
  const std::size_t interior_begin = std::min(length / 2 - 1, m);
  const std::size_t interior_end = m + 1 >= length / 2 ? std::max(interior_begin, m + 1 - length / 2) : interior_begin;
  for (std::size_t j = 0; j < interior_begin; ++j) add_clipped(j);
  for (std::size_t j = interior_begin; j < interior_end; ++j) {
    T* window = output.data() + (2 * j + 2 - length);
    const T a = approx[j];
    const T d = details[j];
#pragma GCC unroll 16
    for (std::size_t k = 0; k < length; ++k) window[k] = low[k] * a + (high[k] * d + window[k]);
  }
  for (std::size_t j = interior_end; j < m; ++j) add_clipped(j);
}

}  // namespace filter_bank

// One level of a filter bank of any even length L >= 2. The forward step
// copies the signal with its border extension into an arena (the caller's
// scratch, or a zero-filled one of its own) and runs every output on it.
template <class T>
class WaveletNTaps final : public IncompleteDwtExecutor<T> {
 public:
  // The high-pass filter is derived from the low-pass one by the
  // quadrature-mirror rule (util::low_pass_to_high).
  WaveletNTaps(BorderMode mode, std::span<const T> low);

  [[nodiscard]] Result<void> execute_forward(std::span<const T> input, std::span<T> approximations,
                                             std::span<T> details) const override;
  [[nodiscard]] Result<void> execute_forward_with_scratch(std::span<const T> input, std::span<T> approximations,
                                                          std::span<T> details, std::span<T> scratch) const override;
  [[nodiscard]] std::size_t required_scratch_size(std::size_t n) const override;
  [[nodiscard]] BandLengths dwt_size(std::size_t n) const override;
  [[nodiscard]] Result<void> execute_inverse(std::span<const T> approximations, std::span<const T> details,
                                             std::span<T> output) const override;
  [[nodiscard]] std::size_t idwt_size(BandLengths lengths) const override;
  [[nodiscard]] std::size_t filter_length() const override { return filter_length_; }

  [[nodiscard]] std::span<const T> low() const { return low_; }
  [[nodiscard]] std::span<const T> high() const { return high_; }
  [[nodiscard]] BorderMode border_mode() const { return mode_; }

 private:
  std::vector<T> low_;
  std::vector<T> high_;
  std::size_t filter_length_;
  BorderMode mode_;
};

extern template class WaveletNTaps<float>;

}  // namespace rimble
