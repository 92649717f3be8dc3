// codec/v2/float_ordinal.hpp: float32 bit patterns as int32 in the order of their values.
#pragma once

#include <bit>
#include <cstdint>

namespace quorvel {

// +0 is 0, the next float up 1, -0 is -1, the next float down -2, and so on:
// neighbouring floats have neighbouring ordinals, so a signal's ordinals
// predict as well as its values do. A bijection on all 2^32 patterns.
[[nodiscard]] constexpr std::int32_t float_ordinal(float value) {
  const auto bits = std::bit_cast<std::int32_t>(value);
  return bits >= 0 ? bits : -(bits & 0x7FFFFFFF) - 1;
}

[[nodiscard]] constexpr float from_float_ordinal(std::int32_t ordinal) {
  return std::bit_cast<float>(ordinal >= 0 ? ordinal
                                           : (-(ordinal + 1)) | static_cast<std::int32_t>(0x80000000u));
}

}  // namespace quorvel
