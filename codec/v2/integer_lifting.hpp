// codec/v2/integer_lifting.hpp: the CDF 9/7 lifting steps on integers, exact and alike on every processor.
//
// One level splits s[0..m) into evens e (ceil(m / 2)) and odds o (floor(m / 2)) and lifts them in four
// steps, each adding the rounded product of a constant and a neighbour pair:
//   o[i] += [A (e[i] + e[i + 1])],  e[i] += [B (o[i - 1] + o[i])],
//   o[i] += [G (e[i] + e[i + 1])],  e[i] += [D (o[i - 1] + o[i])],
// with the signal mirrored about its end samples (x[-1] = x[1], x[m] = x[m - 2]), and no final scaling.
// The constants are the 9/7 factors in units of 2^-16 and [c v] = floor((c v + 2^15) / 2^16), an integer
// shift: the inverse undoes each step exactly, on any processor. Levels go on with the evens; a block is
// kept as its bands, the last evens (the approximation) first, then the odds of each level, coarse to fine.
// Every level's output (and input) stays below 2^40 in magnitude, so that no product within a level
// leaves int64; a transform that would leave it fails.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvel {

inline constexpr unsigned max_lifting_levels = 8;
inline constexpr std::int64_t lifting_bound = std::int64_t{1} << 40;

// Where the bands of a block lie, coarsest first (0 the approximation, then the details of levels
// `levels` down to 1), and which of the L + 1 steps of a transform of L levels each takes: a short
// block whose approximation ends before L levels takes its details' own steps and the approximation's.
struct Bands {
  unsigned count = 0;                                       // levels + 1
  std::array<std::size_t, max_lifting_levels + 2> start{};  // band b is [start[b], start[b + 1])
  std::array<unsigned, max_lifting_levels + 1> step{};      // index into the L + 1 steps
};

// The levels a block of n samples takes at L: L, or fewer where its approximation is one sample.
[[nodiscard]] Bands bands_of(std::size_t n, unsigned levels);

// Samples into bands (forward) and back (inverse), in place, with scratch of the same length. False when
// a value reaches lifting_bound in magnitude; the block then holds no meaning. Integer for the codec;
// double (the same steps without rounding) for the encoder's measures of the bands' gains.
template <class T>
[[nodiscard]] bool forward_lifting(std::span<T> block, unsigned levels, std::span<T> scratch);
template <class T>
[[nodiscard]] bool inverse_lifting(std::span<T> block, unsigned levels, std::span<T> scratch);

// The codes of one block's band integers q: each times its band's step (`steps`, the L + 1 of a
// transform of L levels), through the inverse lifting, into `codes`. False where the lifting fails.
// The decoder's pass: compiled for AVX2 too, chosen by the processor tier.
[[nodiscard]] bool codes_of_bands(std::span<const std::int32_t> q, std::span<const std::uint32_t> steps,
                                  std::span<std::int64_t> codes, std::span<std::int64_t> scratch);

}  // namespace quorvel
