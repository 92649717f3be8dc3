// rimble/simd_filter_bank.cpp: the plain parts of the vectorised filter banks.
#include "rimble/simd_filter_bank.hpp"

#include <cstdint>

namespace rimble::simd {

void forward_short(const float* x, std::size_t count, const float* low, const float* high, std::size_t taps,
                   float* approx, float* details) {
  filter_bank::analyse_run(x, count, low, high, taps, approx, details);
}

void inverse_short(const float* approx, const float* details, std::size_t count, const float* low,
                   const float* high, std::size_t taps, float* out) {
  // Coefficients in increasing order, detail product first, as the portable
  // inverse adds them.
  const std::size_t pairs = taps / 2;
  for (std::size_t m = 0; m < count; ++m) {
    for (std::size_t p = 0; p < 2; ++p) {
      float sum = out[2 * m + p];
      for (std::size_t q = pairs; q-- > 0;) {
        const std::size_t j = m + pairs - 1 - q;
        sum = low[2 * q + p] * approx[j] + (high[2 * q + p] * details[j] + sum);
      }
      out[2 * m + p] = sum;
    }
  }
}

void border_outputs(std::span<const float> input, BorderMode mode, std::span<const float> low,
                    std::span<const float> high, std::size_t first, std::size_t last, std::span<float> approx,
                    std::span<float> details) {
  if (first >= last) return;
  const std::size_t taps = low.size();
  const auto reach = static_cast<std::int64_t>(taps - 2);  // window of output i starts at 2i - reach
  const BorderInterpolation border(mode, 0, static_cast<std::int64_t>(input.size()));
  std::array<float, 16> storage;
  const std::span<float> window = std::span<float>(storage).first(taps);
  for (std::size_t i = first; i < last; ++i) {
    border.gather(input, 2 * static_cast<std::int64_t>(i) - reach, window);
    filter_bank::analyse(window.data(), low.data(), high.data(), taps, approx[i], details[i]);
  }
}

void check_filter_length(std::size_t taps) {
  if (taps < 2 || taps % 2 != 0) fatal("internal error: a filter bank needs an even number of taps, at least 2");
}

}  // namespace rimble::simd
