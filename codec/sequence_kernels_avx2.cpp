// codec/sequence_kernels_avx2.cpp: the AVX2 kernels of the sequence coder (only these functions use AVX2).
#include "codec/sequence_kernels.hpp"

#include "rimble/processor_tier.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "codec/sequence_tokens.hpp"

namespace quorvel::sequence {

bool avx2_kernels() {
#if defined(__x86_64__)
  return rimble::processor_tier() == rimble::ProcessorTier::Avx;
#else
  return false;
#endif
}

#if defined(__x86_64__)

namespace {

// One round of 8 tokens: raw bits from the lanes' positions (the prefix sum of their counts), as
// residuals. Values of more than 25 raw bits (which a 4-byte gather cannot hold after a 7-bit shift)
// are read one by one.
[[gnu::target("avx2,fma")]] __m256i read_round(const std::uint8_t* tokens, const std::uint8_t* raw,
                                               std::uint64_t& position) {
  const __m256i t = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(tokens)));
  const __m256i big = _mm256_cmpgt_epi32(t, _mm256_set1_epi32(kDirectTokens - 1));
  const __m256i bits =
      _mm256_and_si256(big, _mm256_add_epi32(_mm256_srai_epi32(_mm256_sub_epi32(t, _mm256_set1_epi32(16)), 1),
                                             _mm256_set1_epi32(3)));
  if (_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(bits, _mm256_set1_epi32(25))))) {
    alignas(32) std::int32_t out[8];
    for (int l = 0; l < 8; ++l) {
      const int n = kTokenTable.raw_bits[tokens[l]];
      std::uint64_t window;
      __builtin_memcpy(&window, raw + (position >> 3), 8);
      out[l] = unzigzag(kTokenTable.top[tokens[l]] |
                        static_cast<std::uint32_t>((window >> (position & 7)) & ((std::uint64_t{1} << n) - 1)));
      position += static_cast<std::uint64_t>(n);
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(out));
  }
  const __m256i one = _mm256_set1_epi32(1);
  if (_mm256_testz_si256(big, big)) {  // no raw bits in the round (common at coarse steps): no gather
    return _mm256_xor_si256(_mm256_srli_epi32(t, 1), _mm256_sub_epi32(_mm256_setzero_si256(), _mm256_and_si256(t, one)));
  }
  const __m256i top = _mm256_blendv_epi8(t, _mm256_sllv_epi32(_mm256_or_si256(_mm256_set1_epi32(2), _mm256_and_si256(t, one)), bits), big);
  // Exclusive prefix sum of the bit counts over the lanes.
  __m256i sum = _mm256_add_epi32(bits, _mm256_slli_si256(bits, 4));
  sum = _mm256_add_epi32(sum, _mm256_slli_si256(sum, 8));
  sum = _mm256_add_epi32(sum, _mm256_blend_epi32(_mm256_setzero_si256(), _mm256_permutevar8x32_epi32(sum, _mm256_set1_epi32(3)), 0xF0));
  const __m256i at = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(position)), _mm256_sub_epi32(sum, bits));
  position += static_cast<std::uint32_t>(_mm256_extract_epi32(sum, 7));
  const __m256i window = _mm256_i32gather_epi32(reinterpret_cast<const int*>(raw), _mm256_srli_epi32(at, 3), 1);
  const __m256i low = _mm256_and_si256(_mm256_srlv_epi32(window, _mm256_and_si256(at, _mm256_set1_epi32(7))),
                                       _mm256_sub_epi32(_mm256_sllv_epi32(one, bits), one));
  const __m256i u = _mm256_or_si256(top, low);
  return _mm256_xor_si256(_mm256_srli_epi32(u, 1), _mm256_sub_epi32(_mm256_setzero_si256(), _mm256_and_si256(u, one)));
}

// Rows (rounds) to columns (lanes).
[[gnu::target("avx2,fma")]] void transpose(__m256i (&r)[8]) {
  __m256i t[8], u[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm256_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm256_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
  }
  for (int i = 0; i < 2; ++i) {
    u[4 * i] = _mm256_unpacklo_epi64(t[4 * i], t[4 * i + 2]);
    u[4 * i + 1] = _mm256_unpackhi_epi64(t[4 * i], t[4 * i + 2]);
    u[4 * i + 2] = _mm256_unpacklo_epi64(t[4 * i + 1], t[4 * i + 3]);
    u[4 * i + 3] = _mm256_unpackhi_epi64(t[4 * i + 1], t[4 * i + 3]);
  }
  for (int i = 0; i < 4; ++i) {
    r[i] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x20);
    r[i + 4] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x31);
  }
}

}  // namespace

[[gnu::target("avx2,fma")]] std::size_t read_rounds_avx2(const std::uint8_t* tokens, std::size_t from, std::size_t to,
                                                         std::size_t length, const std::uint8_t* raw,
                                                         std::uint64_t& position, std::uint64_t limit,
                                                         std::int32_t* residuals) {
  std::size_t k = from;
  for (; k + 8 <= to && position <= limit; k += 8) {
    __m256i rows[8];
    for (std::size_t j = 0; j < 8; ++j) rows[j] = read_round(tokens + (k + j) * 8, raw, position);
    transpose(rows);
    for (std::size_t l = 0; l < 8; ++l)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(residuals + l * length + k), rows[l]);
  }
  return k;
}

// Four accumulators per lag: the additions of one would wait for each other.
[[gnu::target("avx2,fma")]] void autocorrelation_avx2(const double* z, std::size_t n, int order, double* ac) {
  for (int k = 0; k <= order; ++k) {
    const auto lag = static_cast<std::size_t>(k);
    __m256d sum[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
    std::size_t i = lag;
    for (; i + 16 <= n; i += 16)
      for (std::size_t j = 0; j < 4; ++j)
        sum[j] = _mm256_fmadd_pd(_mm256_loadu_pd(z + i + 4 * j), _mm256_loadu_pd(z + i + 4 * j - lag), sum[j]);
    double tail = 0;
    for (; i < n; ++i) tail += z[i] * z[i - lag];
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, _mm256_add_pd(_mm256_add_pd(sum[0], sum[1]), _mm256_add_pd(sum[2], sum[3])));
    ac[k] = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + tail;
  }
}

// Four predictions at a time: 64-bit products of the codes (sign-extended) and the coefficients, summed,
// shifted right; the low 32 bits of a logical shift by at most 15 are those of the arithmetic one.
[[gnu::target("avx2,fma")]] void lpc_residuals_avx2(const std::int32_t* x, std::size_t from, std::size_t to,
                                                    const std::int32_t* c, int order, int shift, std::int32_t* r) {
  const __m128i count = _mm_cvtsi32_si128(shift);
  const __m256i low_dwords = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  std::size_t i = from;
  for (; i + 4 <= to; i += 4) {
    __m256i sum = _mm256_setzero_si256();
    for (int j = 0; j < order; ++j) {
      const __m256i history = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i - 1 - j)));
      sum = _mm256_add_epi64(sum, _mm256_mul_epi32(history, _mm256_set1_epi64x(c[j])));
    }
    const __m256i shifted = _mm256_permutevar8x32_epi32(_mm256_srl_epi64(sum, count), low_dwords);
    const __m128i actual = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(r + i - from), _mm_sub_epi32(actual, _mm256_castsi256_si128(shifted)));
  }
  lpc_residuals(x, i, to, c, order, shift, r + (i - from));
}

#else

void autocorrelation_avx2(const double* z, std::size_t n, int order, double* ac) { autocorrelation(z, n, order, ac); }

void lpc_residuals_avx2(const std::int32_t* x, std::size_t from, std::size_t to, const std::int32_t* c, int order,
                        int shift, std::int32_t* r) {
  lpc_residuals(x, from, to, c, order, shift, r);
}

std::size_t read_rounds_avx2(const std::uint8_t*, std::size_t from, std::size_t, std::size_t, const std::uint8_t*,
                             std::uint64_t&, std::uint64_t, std::int32_t*) {
  return from;
}

#endif

}  // namespace quorvel::sequence
