// rimble/avx/filter_padding.cpp: the arena writer that maps four extension
// indices at a time in AVX2 registers.
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include "rimble/filter_padding.hpp"

#include <immintrin.h>

#include <cstdint>

namespace rimble {
namespace {

// AVX2 has neither a 64-bit high multiply, a 64-bit low multiply nor a 64-bit
// arithmetic shift; each is built from 32x32->64 products (vpmuludq) and
// logical shifts. Together they run DividerI64::divide on four lanes, with the
// divider's own constants, so the quotients are those of the scalar path.

[[gnu::target("avx2")]] __m256i high_product_unsigned(__m256i a, __m256i b) {
  const __m256i low_mask = _mm256_set1_epi64x(0xFFFFFFFF);
  const __m256i a_high = _mm256_srli_epi64(a, 32);
  const __m256i b_high = _mm256_srli_epi64(b, 32);
  const __m256i ll = _mm256_mul_epu32(a, b);
  const __m256i lh = _mm256_mul_epu32(a, b_high);
  const __m256i hl = _mm256_mul_epu32(a_high, b);
  const __m256i hh = _mm256_mul_epu32(a_high, b_high);
  const __m256i t = _mm256_add_epi64(hl, _mm256_srli_epi64(ll, 32));
  const __m256i w1 = _mm256_add_epi64(_mm256_and_si256(t, low_mask), lh);
  return _mm256_add_epi64(_mm256_add_epi64(hh, _mm256_srli_epi64(t, 32)), _mm256_srli_epi64(w1, 32));
}

// High half of the signed 128-bit product: the unsigned one corrected by the
// operands' sign bits.
[[gnu::target("avx2")]] __m256i high_product_signed(__m256i a, __m256i b) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i a_negative = _mm256_cmpgt_epi64(zero, a);
  const __m256i b_negative = _mm256_cmpgt_epi64(zero, b);
  __m256i high = high_product_unsigned(a, b);
  high = _mm256_sub_epi64(high, _mm256_and_si256(a_negative, b));
  return _mm256_sub_epi64(high, _mm256_and_si256(b_negative, a));
}

[[gnu::target("avx2")]] __m256i low_product(__m256i a, __m256i b) {
  const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(a, _mm256_srli_epi64(b, 32)),
                                         _mm256_mul_epu32(_mm256_srli_epi64(a, 32), b));
  return _mm256_add_epi64(_mm256_mul_epu32(a, b), _mm256_slli_epi64(cross, 32));
}

// Arithmetic right shift of 64-bit lanes: a logical shift with the sign bit
// moved to its new place and extended by xor-subtract.
[[gnu::target("avx2")]] __m256i shift_right_arithmetic(__m256i v, int shift) {
  const __m256i sign = _mm256_set1_epi64x(static_cast<std::int64_t>(std::uint64_t{1} << (63 - shift)));
  const __m256i shifted = _mm256_srl_epi64(v, _mm_cvtsi32_si128(shift));
  return _mm256_sub_epi64(_mm256_xor_si256(shifted, sign), sign);
}

[[gnu::target("avx2")]] __m256i divide(const DividerI64& divider, __m256i x) {
  const int shift = divider.shift();
  if (divider.multiplier() == 0) {
    const __m256i mask = _mm256_set1_epi64x(static_cast<std::int64_t>((std::uint64_t{1} << shift) - 1));
    const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), x);
    return shift_right_arithmetic(_mm256_add_epi64(x, _mm256_and_si256(negative, mask)), shift);
  }
  __m256i q = high_product_signed(_mm256_set1_epi64x(divider.multiplier()), x);
  if (divider.adds_dividend()) q = _mm256_add_epi64(q, x);
  q = shift_right_arithmetic(q, shift);
  return _mm256_add_epi64(q, _mm256_srli_epi64(q, 63));
}

// Non-negative remainder, as DividerI64::modulo.
[[gnu::target("avx2")]] __m256i modulo(const DividerI64& divider, __m256i x) {
  const __m256i d = _mm256_set1_epi64x(divider.divisor());
  const __m256i r = _mm256_sub_epi64(x, low_product(divide(divider, x), d));
  return _mm256_add_epi64(r, _mm256_and_si256(_mm256_cmpgt_epi64(_mm256_setzero_si256(), r), d));
}

// BorderInterpolation::map for four indices that all lie outside [0, n).
[[gnu::target("avx2")]] __m256i map_outside(const BorderInterpolation& border, __m256i x) {
  const std::int64_t n = border.end();
  switch (border.mode()) {
    case BorderMode::Clamp: {
      const __m256i last = _mm256_set1_epi64x(n - 1);
      const __m256i above = _mm256_cmpgt_epi64(x, last);
      return _mm256_and_si256(above, last);  // below the range: index 0
    }
    case BorderMode::Periodic:
      return modulo(border.divider(), x);
    case BorderMode::Symmetric:
    case BorderMode::Reflect:
      return _mm256_sub_epi64(_mm256_set1_epi64x(n - 1), modulo(border.divider(), x));
    case BorderMode::Zeros:
      break;
  }
  return x;
}

// extension[k] = extended sample at x = first + k (always outside [0, n)).
[[gnu::target("avx2")]] void fill_extension(std::span<const float> src, std::span<float> extension,
                                            std::int64_t first, const BorderInterpolation& border) {
  if (border.mode() == BorderMode::Zeros) {
    std::fill(extension.begin(), extension.end(), 0.0f);
    return;
  }
  const __m256i step = _mm256_set1_epi64x(4);
  __m256i x = _mm256_add_epi64(_mm256_set1_epi64x(first), _mm256_setr_epi64x(0, 1, 2, 3));
  alignas(32) std::int64_t index[4];
  for (std::size_t k = 0; k < extension.size(); k += 4) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(index), map_outside(border, x));
    const std::size_t lanes = std::min<std::size_t>(4, extension.size() - k);
    for (std::size_t lane = 0; lane < lanes; ++lane) extension[k + lane] = src[static_cast<std::size_t>(index[lane])];
    x = _mm256_add_epi64(x, step);
  }
}

}  // namespace

[[gnu::target("avx2")]] Result<void> write_arena_1d_avx(std::span<const float> src, std::span<float> arena,
                                                        std::size_t left, std::size_t right, BorderMode mode) {
  detail::check_arena_lengths(src.size(), arena.size(), left, right);
  const std::size_t n = src.size();
  std::copy(src.begin(), src.end(), arena.begin() + static_cast<std::ptrdiff_t>(left));
  if (left == 0 && right == 0) return {};
  const BorderInterpolation border(mode, 0, static_cast<std::int64_t>(n));
  fill_extension(src, arena.first(left), -static_cast<std::int64_t>(left), border);
  fill_extension(src, arena.subspan(left + n, right), static_cast<std::int64_t>(n), border);
  return {};
}

}  // namespace rimble

#endif
