// codec/sequence/cascade_avx2.cpp: the cascade predictor's AVX2 kernels, the portable ones' exact twins.
// The stages of 8, 16 and 32 taps take 8 weights a vector: products in int64 (even and odd lanes apart),
// and the weights' moves as sign(residual) * a, shifted by log2 of the step.
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include <immintrin.h>

#include "codec/sequence/cascade.hpp"

namespace quorvel::sequence {

namespace {

template <class Stage>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline std::int32_t prediction(const Stage& s) {
  if constexpr (Stage::kTaps % 8 != 0) {
    return s.prediction();
  } else {
    const std::int32_t* x = s.history();
    __m256i sum = _mm256_setzero_si256();
    for (int k = 0; k < Stage::kTaps; k += 8) {
      const __m256i w = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.weights.data() + k));
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + k));
      sum = _mm256_add_epi64(sum, _mm256_mul_epi32(w, v));
      sum = _mm256_add_epi64(sum, _mm256_mul_epi32(_mm256_srli_epi64(w, 32), _mm256_srli_epi64(v, 32)));
    }
    const __m128i two = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    return wrap((_mm_cvtsi128_si64(two) + _mm_extract_epi64(two, 1)) >> Stage::kShift);
  }
}

template <class Stage>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void move_weights(Stage& s, std::int32_t residual) {
  if constexpr (Stage::kTaps % 8 != 0) {
    s.move_weights(residual);
  } else {
    constexpr int log2_step = Stage::kStep == 1 ? 0 : Stage::kStep == 2 ? 1 : Stage::kStep == 4 ? 2 : 3;
    static_assert(1 << log2_step == Stage::kStep);
    const __m256i sign = _mm256_set1_epi32(residual);
    const std::int32_t* a = s.history_moves();
    for (int k = 0; k < Stage::kTaps; k += 8) {
      auto* w = reinterpret_cast<__m256i*>(s.weights.data() + k);
      const __m256i move = _mm256_sign_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + k)), sign);
      _mm256_store_si256(w, _mm256_add_epi32(_mm256_load_si256(w), _mm256_slli_epi32(move, log2_step)));
    }
  }
}

}  // namespace

[[gnu::target("avx2,fma")]] void cascade_forward_avx2(Cascade& c, const std::int32_t* codes, std::size_t n,
                                                      std::int32_t* r) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t d = minus(codes[i], c.last);
    const std::int32_t r1 = minus(d, prediction(c.first)), r2 = minus(r1, prediction(c.second)),
                       r3 = minus(r2, prediction(c.third)), r4 = minus(r3, prediction(c.fourth));
    move_weights(c.first, r1), move_weights(c.second, r2), move_weights(c.third, r3), move_weights(c.fourth, r4);
    c.first.push(d), c.second.push(r1), c.third.push(r2), c.fourth.push(r3);
    c.last = codes[i];
    r[i] = r4;
  }
  c.position += n;
}

[[gnu::target("avx2,fma")]] void cascade_inverse_avx2(Cascade& c, const std::int32_t* r, std::size_t n,
                                                      std::int32_t* codes) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t r4 = r[i], r3 = plus(r4, prediction(c.fourth)), r2 = plus(r3, prediction(c.third)),
                       r1 = plus(r2, prediction(c.second)), d = plus(r1, prediction(c.first));
    move_weights(c.first, r1), move_weights(c.second, r2), move_weights(c.third, r3), move_weights(c.fourth, r4);
    c.first.push(d), c.second.push(r1), c.third.push(r2), c.fourth.push(r3);
    codes[i] = c.last = plus(c.last, d);
  }
  c.position += n;
}

}  // namespace quorvel::sequence

#endif
