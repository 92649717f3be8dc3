// codec/sequence/tokens.hpp: residuals as tokens plus raw bits, and the context class of each token.
//
// A residual r (int32) is zigzagged to u = 2|r| or 2|r| - 1 (uint32). Values below 16 are tokens of their
// own; a larger value of bit length L (5..32) is the token 16 + 2 (L - 5) + (its bit below the leading
// one), followed by its L - 2 lowest bits sent raw. So 72 tokens cover every uint32, the entropy coder
// sees the magnitude and the raw bits carry what is close to uniform.
//
// The context of a token is the class of the token before it in its lane: the bit length of its smallest
// value (its "top", its level), less the table set's base, clipped to the four classes. A lane's first
// token follows a 0.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace quorvel::sequence {

inline constexpr int kDirectTokens = 16;
inline constexpr int kTokenCount = 72;
inline constexpr int kClasses = 4;
// Bit lengths of a token's top: 0..32.
inline constexpr int kLevels = 33;

[[nodiscard]] constexpr std::uint32_t zigzag(std::int32_t r) {
  const auto bits = static_cast<std::uint32_t>(r);
  return (bits << 1) ^ static_cast<std::uint32_t>(r >> 31);
}

[[nodiscard]] constexpr std::int32_t unzigzag(std::uint32_t u) {
  return static_cast<std::int32_t>((u >> 1) ^ (0u - (u & 1)));
}

[[nodiscard]] constexpr int raw_bits_of_token(int token) { return token < kDirectTokens ? 0 : (token - 16) / 2 + 3; }

// The smallest value a token stands for: the token itself below 16, else its two leading bits.
[[nodiscard]] constexpr std::uint32_t top_of_token(int token) {
  return token < kDirectTokens ? static_cast<std::uint32_t>(token)
                               : (2u | static_cast<std::uint32_t>(token & 1)) << raw_bits_of_token(token);
}

// Written without a branch on u < 16, which would be mispredicted often.
[[nodiscard]] constexpr int token_of(std::uint32_t u) {
  const int length = std::bit_width(u | 16u);
  const int coarse = kDirectTokens + 2 * (length - 5) + static_cast<int>((u >> (length - 2)) & 1);
  return u < kDirectTokens ? static_cast<int>(u) : coarse;
}

// The context level of the token after this one.
[[nodiscard]] constexpr int level_of_token(int token) { return std::bit_width(top_of_token(token)); }

// Raw bit counts, tops and levels of every token, for loops that would otherwise branch on the token.
struct TokenTable {
  std::array<std::uint8_t, kTokenCount> raw_bits{};
  std::array<std::uint8_t, kTokenCount> level{};
  std::array<std::uint32_t, kTokenCount> top{};
  constexpr TokenTable() {
    for (int t = 0; t < kTokenCount; ++t) {
      raw_bits[t] = static_cast<std::uint8_t>(raw_bits_of_token(t));
      level[t] = static_cast<std::uint8_t>(level_of_token(t));
      top[t] = top_of_token(t);
    }
  }
};
inline constexpr TokenTable kTokenTable{};

[[nodiscard]] constexpr int class_of_level(int level, int base) {
  const int c = level - base;
  return c < 0 ? 0 : c >= kClasses ? kClasses - 1 : c;
}

}  // namespace quorvel::sequence
