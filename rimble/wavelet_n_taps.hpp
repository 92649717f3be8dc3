// rimble/wavelet_n_taps.hpp: the portable filter-bank kernels and the portable executor of any
// even length (the fixed-length ones are in rimble/wavelet_fixed_taps.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "rimble/filter_bank.hpp"
#include "rimble/records.hpp"

namespace rimble {

namespace filter_bank {

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

// Plain loops, each sum taken in the reference order: they are the other
// tiers' yardstick and run their bands too short for one register. With a
// fixed L every window is one unrolled sum.
template <class T>
struct PortableKernels {
  using sample_type = T;
  static constexpr std::size_t max_fixed_taps = 16;

  template <std::size_t L>
  static void forward(const T* x, std::size_t count, const T* low, const T* high, std::size_t taps, T* approx,
                      T* details) {
    if constexpr (L != 0) {
      filter_bank::analyse_run(x, count, low, high, std::integral_constant<std::size_t, L>{}, approx, details);
    } else {
      filter_bank::analyse_run(x, count, low, high, taps, approx, details);
    }
  }

  template <std::size_t L>
  static void inverse(const T* approx, const T* details, std::size_t count, const T* low, const T* high,
                      std::size_t taps, T* out) {
    const std::span<const T> a(approx, count + taps / 2 - 1), d(details, count + taps / 2 - 1);
    if constexpr (L != 0) {
      filter_bank::synthesise(a, d, low, high, std::integral_constant<std::size_t, L>{}, std::span<T>(out, 2 * count));
    } else {
      filter_bank::synthesise(a, d, low, high, taps, std::span<T>(out, 2 * count));
    }
  }

  // Writes map(inverse) of `count` output pairs over out (uninitialised), the
  // details 16-bit codes times step: block by block, the details widened,
  // the level added into zeros and mapped.
  template <std::size_t L>
  static void inverse_quantised(const T* approx, const std::int16_t* details, T step, std::size_t count, const T* low,
                                const T* high, T* out, const OutputMap<T>& map) {
    static_assert(L >= 2, "the quantised inverse is unrolled for fixed filter lengths");
    constexpr std::size_t block = 256;
    std::array<T, block + L / 2 - 1> widened;
    for (std::size_t begin = 0; begin < count; begin += block) {
      const std::size_t pairs = std::min(block, count - begin);
      for (std::size_t i = 0; i < pairs + L / 2 - 1; ++i) widened[i] = static_cast<T>(details[begin + i]) * step;
      const std::span<T> o(out + 2 * begin, 2 * pairs);
      std::fill(o.begin(), o.end(), T(0));
      inverse<L>(approx + begin, widened.data(), pairs, low, high, L, o.data());
      for (T& y : o) y = map(y);
    }
  }
};

// One level of a filter bank of any even length L >= 2. The forward step
// copies the signal with its border extension into an arena (the caller's
// scratch, or a zero-filled one of its own) and runs every output on it.
template <class T>
using WaveletNTaps = NTapsFilterBank<PortableKernels<T>>;

}  // namespace rimble

// Built once, in rimble/wavelet_n_taps.cpp.
extern template class rimble::NTapsFilterBank<rimble::PortableKernels<float>>;
