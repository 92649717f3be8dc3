// codec/v2/interpolation.cpp: interpolation residuals of a block and their inverse.
#include "codec/v2/interpolation.hpp"

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

}  // namespace quorvel
