// codec/front/gaps.hpp: bridging the non-finite samples of a lane before it is coded.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

namespace quorvel {

// Fills every non-finite sample from its finite neighbours: linear
// interpolation inside a lane, the nearest finite value before the first and
// after the last. Returns false, leaving the lane as it was, when no sample is
// finite. The convex combination cannot overflow, and the clamp keeps its
// rounding inside the two neighbours. With `narrow` (a float64 lane under a
// bound on every sample) a fill is rounded to float32, which the container
// holds: a lane of float32 values then has nothing the container must round,
// and a bit-exact copy stays within reach. (Other targets keep the fills as
// they were.)
template <class T>
inline T fill_value(double a, double b, double t, bool narrow) {
  const double low = std::min(a, b), high = std::max(a, b);
  const double fill = std::clamp(a * (1.0 - t) + b * t, low, high);
  const auto rounded = static_cast<float>(fill);
  if (!narrow || !std::isfinite(rounded)) return static_cast<T>(fill);  // beyond float32: refused anyway
  return static_cast<T>(std::clamp(static_cast<double>(rounded), low, high));
}

template <class T>
inline bool fill_gaps(std::span<T> lane, bool narrow = false) {
  const auto first = std::find_if(lane.begin(), lane.end(), [](T x) { return std::isfinite(x); });
  if (first == lane.end()) return false;
  std::fill(lane.begin(), first, *first);
  std::size_t last = static_cast<std::size_t>(first - lane.begin());
  for (std::size_t i = last + 1; i < lane.size(); ++i) {
    if (!std::isfinite(lane[i])) continue;
    const double a = lane[last], b = lane[i];
    const double width = static_cast<double>(i - last);
    for (std::size_t k = last + 1; k < i; ++k) {
      lane[k] = fill_value<T>(a, b, static_cast<double>(k - last) / width, narrow);
    }
    last = i;
  }
  std::fill(lane.begin() + static_cast<std::ptrdiff_t>(last) + 1, lane.end(), lane[last]);
  return true;
}

}  // namespace quorvel
