// codec/v2/interpolation.hpp: multilevel cubic interpolation of the codes of one block, coarsest level first.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvel {

// The points of a block of n codes in coding order: point 0, then the odd
// multiples of each stride from the largest power of two below n down to 1.
// body(index, stride) sees every point once; stride 0 for point 0.
template <class Body>
void for_each_in_levels(std::size_t n, Body&& body) {
  if (n == 0) return;
  body(std::size_t{0}, std::size_t{0});
  for (std::size_t stride = n > 1 ? std::bit_floor(n - 1) : 0; stride >= 1; stride /= 2) {
    for (std::size_t i = stride; i < n; i += 2 * stride) body(i, stride);
  }
}

// How a point is predicted from the coarser level: cubic where four neighbours are known, or linear
// throughout. At loose bounds the coarse levels of an oversampled signal carry errors of up to a step
// that the cubic's outer taps amplify, and the mean of two neighbours predicts better.
enum class Spline : std::uint8_t { cubic, linear };

// A point from the coarser points around it, all of them already known:
// cubic (-1, 9, 9, -1) / 16 where four are, the mean of two where two are, the
// left one at the end of the block, 0 for point 0. Integer arithmetic (the
// products of int32 codes fit an int64 easily), rounded down.
[[nodiscard]] inline std::int64_t interpolated(std::span<const std::int32_t> q, std::size_t i,
                                               std::size_t stride, Spline spline = Spline::cubic) {
  if (stride == 0) return 0;
  const std::int64_t left = q[i - stride];
  if (i + stride >= q.size()) return left;
  const std::int64_t right = q[i + stride];
  if (spline == Spline::linear || i < 3 * stride || i + 3 * stride >= q.size()) return (left + right + 1) >> 1;
  return (9 * (left + right) - q[i - 3 * stride] - q[i + 3 * stride] + 8) >> 4;
}

// Residuals (code - prediction) in coding order. Both ways wrap modulo 2^32,
// so any int32 codes round-trip, whatever the predictions overshoot to.
void interpolation_residuals(std::span<const std::int32_t> codes, std::span<std::int32_t> residuals);
void interpolation_restore(std::span<const std::int32_t> residuals, std::span<std::int32_t> codes);

// Scaled residuals (codings 5 and 6): code = prediction + K * residual in 64 bits, no wrap. The encoder's
// codes are reachable (code - prediction a multiple of K); restoring fails when a code leaves int32.
void scaled_residuals(std::span<const std::int32_t> codes, std::int64_t multiplier, std::span<std::int32_t> residuals,
                      Spline spline = Spline::cubic);
[[nodiscard]] bool scaled_restore(std::span<const std::int32_t> residuals, std::int64_t multiplier,
                                  std::span<std::int32_t> codes, Spline spline = Spline::cubic);

// Code plus (or minus) a residual, modulo 2^32.
[[nodiscard]] inline std::int32_t wrapping_add(std::int64_t prediction, std::int32_t residual) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(prediction) +
                                   static_cast<std::uint32_t>(residual));
}
[[nodiscard]] inline std::int32_t wrapping_sub(std::int32_t code, std::int64_t prediction) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(code) - static_cast<std::uint32_t>(prediction));
}

}  // namespace quorvel
