// codec/sequence_kernels.hpp: the sequence coder's loops that have AVX2 versions, and the choice between them.
//
// Each AVX2 kernel gives exactly what its portable twin gives (integer arithmetic, or doubles whose every
// value is an exact integer); the tests compare them. The choice follows rimble::processor_tier(), which a
// test binary can cap.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel::sequence {

// True when the AVX2 kernels may run (x86-64 with AVX2 and FMA, under the tier cap).
[[nodiscard]] bool avx2_kernels();

// Residuals of whole groups of 8 rounds of a segment in 8 lanes of `length` tokens, from round `from` up to
// `to`: tokens in decoding order, raw bits from bit `position` on, padded so that a group starting at bit
// `limit` or before reads inside the buffer. Writes residuals in block order, advances the position and
// returns the round it stopped at (a group that would start past `limit` is left to the caller).
std::size_t read_rounds_avx2(const std::uint8_t* tokens, std::size_t from, std::size_t to, std::size_t length,
                             const std::uint8_t* raw, std::uint64_t& position, std::uint64_t limit,
                             std::int32_t* residuals);

// Tokens of the residuals r[0, n) (token_of(zigzag(r[i]))), and the or of every zigzagged value (whose
// token bounds theirs).
std::uint32_t tokenize(const std::int32_t* r, std::size_t n, std::uint8_t* tokens);
std::uint32_t tokenize_avx2(const std::int32_t* r, std::size_t n, std::uint8_t* tokens);

// Autocorrelation ac[0..order] of z[0, n): every product and partial sum must be an integer below 2^53, so
// that any order of summation gives the same doubles.
void autocorrelation(const double* z, std::size_t n, int order, double* ac);
void autocorrelation_avx2(const double* z, std::size_t n, int order, double* ac);

// LPC residuals r[i] = x[i] - wrap((sum_j c[j] x[i-1-j]) >> shift) for i in [from, to), i >= order.
void lpc_residuals(const std::int32_t* x, std::size_t from, std::size_t to, const std::int32_t* c, int order,
                   int shift, std::int32_t* r);
void lpc_residuals_avx2(const std::int32_t* x, std::size_t from, std::size_t to, const std::int32_t* c, int order,
                        int shift, std::int32_t* r);

}  // namespace quorvel::sequence
