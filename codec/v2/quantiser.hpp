// codec/v2/quantiser.hpp: signal-domain quantisers onto grids: strict bounds, the step ladder, the closed loop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/v2/grid.hpp"
#include "codec/v2/interpolation.hpp"
#include "codec/v2/samples.hpp"

namespace quorvel {

// The grids a strict bound e > 0 may quantise to, coarsest first, for a signal
// from `lowest` whose samples stay within `peak` in magnitude, anchored at
// `lowest`. Each step is a float32 a little under 2e: the middle one by just
// enough that float32 rounding of the decoded value (at most half a unit in
// the last place below peak + e) keeps every sample within e, by construction.
// Its neighbours are the steps of the next binades up and down, so that a
// signal decoded from the middle one is still found on it when its peak
// crosses a power of two. None where the step would leave no room or give
// codes beyond 2^30.
[[nodiscard]] std::array<std::optional<Grid>, 3> bound_ladder(double e, float lowest, double peak);

// The ladder of steps for rate-optimised targets, absolute in signal units so
// that re-encoding a decoded signal meets the same rungs: rung k is the float32
// nearest 2^(k/16), from a table (no libm, the same everywhere).
[[nodiscard]] double rung_step(int k);
// The index of the largest rung <= step (step > 0).
[[nodiscard]] int rung_at_most(double step);
inline constexpr int lowest_rung = -149 * 16;  // 2^-149, the smallest float32
inline constexpr int highest_rung = 127 * 16;

// Nearest codes on a grid (saturated at int32), and the samples they decode to.
template <class T>
void quantise_to_grid(std::span<const T> x, const Grid& grid, std::span<std::int32_t> codes, std::span<float> y);

// Closed-loop interpolation within blocks of `block_length`: each point is
// predicted from the decoded points around it (codec/v2/interpolation.hpp) and
// the difference quantised with a dead zone (|d| < 0.5 + dead_zone steps goes
// to zero), so the codes' interpolation residuals are mostly zero.
template <class T>
void quantise_closed_loop(std::span<const T> x, const Grid& grid, double dead_zone, std::size_t block_length,
                          std::span<std::int32_t> codes, std::span<float> y);

// Closed-loop quantisation on a fine grid to a strict bound (coding 5): within blocks of
// `block_length`, each code is its interpolation prediction from the codes already made plus
// `multiplier` times the rounded residual in units of the coarse step fine.step * multiplier, so that a
// sample moves by at most half that step before float32 rounds it. False when a decoded sample misses
// `bound` or a code leaves int32 (codes and y are then unfinished). `spline` is the prediction (coding 5
// cubic, coding 6 linear).
template <class T>
[[nodiscard]] bool quantise_scaled(std::span<const T> x, const Grid& fine, std::int64_t multiplier, double bound,
                                   std::size_t block_length, std::span<std::int32_t> codes, std::span<float> y,
                                   Spline spline = Spline::cubic);

// Whether quantise_scaled gives back the samples y themselves (their codes then fill `codes`); stops at
// the first block that differs.
[[nodiscard]] bool scaled_reproduces(std::span<const float> y, const Grid& fine, std::int64_t multiplier,
                                     std::size_t block_length, std::span<std::int32_t> codes,
                                     Spline spline = Spline::cubic);

}  // namespace quorvel
