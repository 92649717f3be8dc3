// codec/v2/interpolation.cpp: interpolation residuals of a block and their inverse.
#include "codec/v2/interpolation.hpp"

#include <cstdint>

namespace quorvel {

void interpolation_residuals(std::span<const std::int32_t> codes, std::span<std::int32_t> residuals) {
  std::size_t at = 0;
  for_each_in_levels(codes.size(), [&](std::size_t i, std::size_t stride) {
    residuals[at++] = wrapping_sub(codes[i], interpolated(codes, i, stride));
  });
}

void interpolation_restore(std::span<const std::int32_t> residuals, std::span<std::int32_t> codes) {
  std::size_t at = 0;
  for_each_in_levels(codes.size(), [&](std::size_t i, std::size_t stride) {
    codes[i] = wrapping_add(interpolated(codes, i, stride), residuals[at++]);
  });
}

void scaled_residuals(std::span<const std::int32_t> codes, std::int64_t multiplier, std::span<std::int32_t> residuals,
                      Spline spline) {
  std::size_t at = 0;
  for_each_in_levels(codes.size(), [&](std::size_t i, std::size_t stride) {
    residuals[at++] = static_cast<std::int32_t>((codes[i] - interpolated(codes, i, stride, spline)) / multiplier);
  });
}

bool scaled_restore(std::span<const std::int32_t> residuals, std::int64_t multiplier, std::span<std::int32_t> codes,
                    Spline spline) {
  std::size_t at = 0;
  bool inside = true;
  for_each_in_levels(codes.size(), [&](std::size_t i, std::size_t stride) {
    const std::int64_t code = interpolated(codes, i, stride, spline) + multiplier * residuals[at++];
    inside &= code >= INT32_MIN && code <= INT32_MAX;
    codes[i] = static_cast<std::int32_t>(code);
  });
  return inside;
}

}  // namespace quorvel
