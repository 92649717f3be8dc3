// codec/v2/grid.hpp: uniform grids of float32 values, codes on them, and finding the grid a signal sits on.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvel {

// Point k of a grid is float32(origin + step * k): one product and one sum in
// double, rounded once to float32. The build never contracts them into an FMA,
// so every decoder on every processor forms the same samples from the same codes.
struct Grid {
  double origin = 0.0;
  double step = 1.0;

  [[nodiscard]] float sample(std::int64_t k) const {
    return static_cast<float>(origin + step * static_cast<double>(k));
  }
  friend bool operator==(const Grid&, const Grid&) = default;
};

// A grid anchored at a sample value. -0 becomes +0: origin + step * 0 is +0
// either way, and the same decoded samples must give the same grid.
[[nodiscard]] inline Grid anchored_at(float origin, double step) {
  return Grid{static_cast<double>(origin) + 0.0, step};
}

inline constexpr double largest_code = 2147483647.0;

// Round half to even of |v| < 2^51 by the float adder itself, which (unlike
// rint) vectorises on any x86-64. Larger magnitudes come back large, NaN as NaN.
[[nodiscard]] inline double round_even(double v) {
  constexpr double shifter = 6755399441055744.0;  // 1.5 * 2^52
  return (v + shifter) - shifter;
}

// The nearest grid code to a value, as a double (ties may go either way);
// callers check that it fits an int32 before they convert it.
class GridCoder {
 public:
  explicit GridCoder(const Grid& grid) : grid_(grid), inverse_(1.0 / grid.step) {}
  [[nodiscard]] double nearest(double x) const { return round_even((x - grid_.origin) * inverse_); }
  [[nodiscard]] const Grid& grid() const { return grid_; }

 private:
  Grid grid_;
  double inverse_;
};

// The values grid detection looks at in a signal of n samples (value_at(i)
// is sample i), with multiplicity: a run from the start and an even spread over
// the whole, always with the extremes (which pin the step hardest). Positions
// depend on the length alone.
inline constexpr std::size_t detection_run = 4096;

template <class Visit>
void for_each_detection_position(std::size_t n, Visit&& visit) {
  const std::size_t stride = n <= 2 * detection_run ? 1 : n / detection_run;
  for (std::size_t i = 0; i < std::min(n, detection_run); ++i) visit(i);
  for (std::size_t i = detection_run; i < n; i += stride) visit(i);
}

template <class ValueAt>
[[nodiscard]] std::vector<double> detection_sample(std::size_t n, ValueAt&& value_at, float lowest,
                                                   float highest) {
  std::vector<double> values;
  values.reserve(std::min(n, 2 * detection_run) + 2);
  for_each_detection_position(n, [&](std::size_t i) { values.push_back(value_at(i)); });
  values.push_back(lowest);
  values.push_back(highest);
  return values;
}

// Sorted, without repeats.
[[nodiscard]] std::vector<double> distinct_values(std::vector<double> values);

// True when every sample (lowest and highest their extremes) is a point of
// the grid with an int32 code, whose codes then fill `codes`; stops soon
// after the first sample that is not.
[[nodiscard]] bool codes_on_grid(std::span<const float> y, float lowest, float highest, const Grid& grid,
                                 std::span<std::int32_t> codes);

// The grid that reproduces each of these sorted, distinct values (at least two)
// with at most 2^24 steps between the first and the last, if there is one.
// A function of the values alone: decimal data and PCM sit on multiples of
// their step (origin 0); EDF's physical values on a grid of their own origin.
[[nodiscard]] std::optional<Grid> grid_of_values(std::span<const double> values);

// The grid every sample sits on, found from a sample of the values and checked
// on all of them (whose codes then fill `codes`), if there is one. `lowest` and
// `highest` are the signal's extremes. A function of the samples alone.
[[nodiscard]] std::optional<Grid> detect_grid(std::span<const float> y, float lowest, float highest,
                                              std::span<std::int32_t> codes);

// The grid at least 95 % of the samples sit on, the others off it
// (interpolated values, glitches): the commonest spacing of a sample of the
// values, detected on the values near its multiples. The nearest codes of all
// samples fill `codes`. A function of the samples alone.
struct MostlyGrid {
  Grid grid;
  std::size_t misses;  // samples the grid does not reproduce
};
[[nodiscard]] std::optional<MostlyGrid> detect_mostly_grid(std::span<const float> y, float lowest,
                                                           float highest, std::span<std::int32_t> codes);

// The value in [low, high] (0 < low <= high) with the fewest significant bits.
[[nodiscard]] double simplest_between(double low, double high);

}  // namespace quorvel
