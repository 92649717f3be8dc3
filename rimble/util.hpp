// rimble/util.hpp: small helpers shared by the filter-bank executors.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace rimble::util {

// The high-pass (wavelet) filter of an orthogonal pair from its low-pass
// (scaling) filter: g[i] = (-1)^i h[N-1-i], the quadrature-mirror rule. The
// sign change only flips the sign bit, so g holds exactly the values of h.
template <class T>
[[nodiscard]] std::vector<T> low_pass_to_high(std::span<const T> low) {
  std::vector<T> high(low.size());
  for (std::size_t i = 0; i < low.size(); ++i) {
    const T tap = low[low.size() - 1 - i];
    high[i] = (i % 2 == 0) ? tap : -tap;
  }
  return high;
}

template <class T, std::size_t N>
[[nodiscard]] constexpr std::array<T, N> low_pass_to_high(const std::array<T, N>& low) {
  std::array<T, N> high{};
  for (std::size_t i = 0; i < N; ++i) high[i] = (i % 2 == 0) ? low[N - 1 - i] : -low[N - 1 - i];
  return high;
}

}  // namespace rimble::util
