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
// With a tap count known at compile time each window is one unrolled sum and
// the loop over outputs vectorises as it is. With a run-time tap count the
// taps go in the outer loop over a block of outputs, so that the inner loop
// over outputs vectorises; each output still adds its taps in increasing j.
template <class T, class Taps>
inline void analyse_run(const T* first, std::size_t count, const T* low, const T* high, Taps taps, T* approx,
                        T* details) {
  if constexpr (!std::is_integral_v<Taps>) {
    for (std::size_t i = 0; i < count; ++i) analyse(first + 2 * i, low, high, taps, approx[i], details[i]);
  } else {
    constexpr std::size_t kBlock = 64;
    for (std::size_t begin = 0; begin < count; begin += kBlock) {
      const std::size_t size = std::min(kBlock, count - begin);
      T a[kBlock] = {};
      T d[kBlock] = {};
      for (std::size_t j = 0; j < taps; ++j) {
        const T l = low[j];
        const T h = high[j];
        const T* window = first + 2 * begin + j;
        for (std::size_t i = 0; i < size; ++i) {
          a[i] = a[i] + l * window[2 * i];
          d[i] = d[i] + h * window[2 * i];
        }
      }
      std::copy(a, a + size, approx + begin);
      std::copy(d, d + size, details + begin);
    }
  }
}

// Adds every coefficient pair j into the output window it covers: output
// t = 2j + k - (L-2) receives low[k] * approx[j] + (high[k] * details[j] +
// output[t]), pairs in increasing j, contributions that fall outside the
// output dropped. Taken output by output instead (polyphase form), sample
// t = 2q + p receives exactly the pairs j = q .. q + L/2 - 1 with
// k = L - 2 - 2(j - q) + p, all of them inside the bands, so there is no
// border case; adding them in increasing j keeps the order, and so the
// rounding, of the pair-by-pair loop. The independent chains of consecutive
// outputs vectorise: as they are for a compile-time tap count, with the pairs
// in the outer loop over a block of outputs for a run-time one.
template <class T, class Taps>
inline void synthesise(std::span<const T> approx, std::span<const T> details, const T* low, const T* high, Taps taps,
                       std::span<T> output) {
  const std::size_t length = static_cast<std::size_t>(taps);
  const std::size_t half = output.size() / 2;
  const T* a = approx.data();
  const T* d = details.data();
  T* out = output.data();
  if constexpr (!std::is_integral_v<Taps>) {
    for (std::size_t q = 0; q < half; ++q) {
      T even = out[2 * q];
      T odd = out[2 * q + 1];
      for (std::size_t s = 0; s < length / 2; ++s) {
        const std::size_t k = length - 2 - 2 * s;
        even = low[k] * a[q + s] + (high[k] * d[q + s] + even);
        odd = low[k + 1] * a[q + s] + (high[k + 1] * d[q + s] + odd);
      }
      out[2 * q] = even;
      out[2 * q + 1] = odd;
    }
  } else {
    constexpr std::size_t kBlock = 64;
    for (std::size_t begin = 0; begin < half; begin += kBlock) {
      const std::size_t size = std::min(kBlock, half - begin);
      T even[kBlock];
      T odd[kBlock];
      for (std::size_t i = 0; i < size; ++i) {
        even[i] = out[2 * (begin + i)];
        odd[i] = out[2 * (begin + i) + 1];
      }
      for (std::size_t s = 0; s < length / 2; ++s) {
        const std::size_t k = length - 2 - 2 * s;
        const T* as = a + begin + s;
        const T* ds = d + begin + s;
        for (std::size_t i = 0; i < size; ++i) {
          even[i] = low[k] * as[i] + (high[k] * ds[i] + even[i]);
          odd[i] = low[k + 1] * as[i] + (high[k + 1] * ds[i] + odd[i]);
        }
      }
      for (std::size_t i = 0; i < size; ++i) {
        out[2 * (begin + i)] = even[i];
        out[2 * (begin + i) + 1] = odd[i];
      }
    }
  }
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
