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

#else

std::size_t read_rounds_avx2(const std::uint8_t*, std::size_t from, std::size_t, std::size_t, const std::uint8_t*,
                             std::uint64_t&, std::uint64_t, std::int32_t*) {
  return from;
}

#endif

}  // namespace quorvel::sequence
