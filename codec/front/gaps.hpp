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
// rounding inside the two neighbours.
template <class T>
inline bool fill_gaps(std::span<T> lane) {
  const auto first = std::find_if(lane.begin(), lane.end(), [](T x) { return std::isfinite(x); });
  if (first == lane.end()) return false;
  std::fill(lane.begin(), first, *first);
  std::size_t last = static_cast<std::size_t>(first - lane.begin());
  for (std::size_t i = last + 1; i < lane.size(); ++i) {
    if (!std::isfinite(lane[i])) continue;
    const double a = lane[last], b = lane[i];
    const double width = static_cast<double>(i - last);
    for (std::size_t k = last + 1; k < i; ++k) {
      const double t = static_cast<double>(k - last) / width;
      lane[k] = static_cast<T>(std::clamp(a * (1.0 - t) + b * t, std::min(a, b), std::max(a, b)));
    }
    last = i;
  }
  std::fill(lane.begin() + static_cast<std::ptrdiff_t>(last) + 1, lane.end(), lane[last]);
  return true;
}

}  // namespace quorvel
