// codec/grid.hpp: uniform grids of float32 values, codes on them, and finding the grid a signal sits on.
#pragma once

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

// True when every sample is a point of the grid with an int32 code, whose
// codes then fill `codes`; stops at the first sample that is not.
[[nodiscard]] bool codes_on_grid(std::span<const float> y, const Grid& grid, std::span<std::int32_t> codes);

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

// The value in [low, high] (0 < low <= high) with the fewest significant bits.
[[nodiscard]] double simplest_between(double low, double high);

}  // namespace quorvel
