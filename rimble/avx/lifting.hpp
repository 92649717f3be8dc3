// rimble/avx/lifting.hpp: the AVX2 lifting pipeline shared by AvxCdf53 and AvxCdf97.
//
// A vector kernel streams the signal once, eight pairs (x[2i], x[2i+1]) per block, through a
// chain of lifting stages held in registers, instead of one pass over memory per step. A predict
// needs even[i+1], which lies in the next block, so each predict stage hands out the block
// before the one it was given; an update needs odd[i-1], which it keeps from the previous block.
// The chain's output is therefore kLag blocks (its number of predicts) behind its input.
//
// The stages start with zero in place of the blocks before the first, so the first lanes of
// block 0 come out wrong (each predict-update pair spreads the error by one lane): block 0 is
// never stored. At the right end the pipeline reads only whole blocks of real samples, so every
// block it stores is free of the mirror rules. The first kHeadPairs pairs and everything after
// the last stored block are computed by the portable kernel on short windows of the signal with
// kMargin pairs to spare, whose own (artificial) mirror at the window's inner edge reaches only
// a few pairs in. Where the powers-of-two weights of CDF 5/3 make fused and separate rounding
// agree, the result is bit-identical to the portable executor.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

namespace rimble::avx::lifting {

inline constexpr std::size_t kHeadPairs = 8;
inline constexpr std::size_t kMargin = 8;
// Longest window the portable kernel sees from a vector kernel: whole short signals, and the
// tails after the last stored block (under 16 samples past the last whole block, plus kLag <= 2
// blocks and the margin).
inline constexpr std::size_t kMaxScalarSamples = 128;

// Eight consecutive pairs of the two half-rate sequences.
struct Block {
  __m256 even;
  __m256 odd;
};

// v[i+1] for i = 0..7, the last lane taken from next[0].
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 following(__m256 v, __m256 next) {
  const __m256 joined = _mm256_blend_ps(v, next, 0x01);
  return _mm256_permutevar8x32_ps(joined, _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 0));
}

// v[i-1] for i = 0..7, the first lane taken from previous[7].
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 preceding(__m256 v, __m256 previous) {
  const __m256 joined = _mm256_blend_ps(v, previous, 0x80);
  return _mm256_permutevar8x32_ps(joined, _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6));
}

// x[0..16) into evens x0 x2 .. x14 and odds x1 x3 .. x15: shuffle within 128-bit lanes, then put
// the 64-bit halves in order.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline Block load_split(const float* x) {
  const __m256 lo = _mm256_loadu_ps(x);
  const __m256 hi = _mm256_loadu_ps(x + 8);
  const __m256 even = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
  const __m256 odd = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
  return {_mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(even), _MM_SHUFFLE(3, 1, 2, 0))),
          _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(odd), _MM_SHUFFLE(3, 1, 2, 0)))};
}

// The inverse of load_split: e0 o0 e1 o1 .. e7 o7 into out[0..16).
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void store_merged(float* out, Block b) {
  const __m256 lo = _mm256_unpacklo_ps(b.even, b.odd);  // e0 o0 e1 o1 | e4 o4 e5 o5
  const __m256 hi = _mm256_unpackhi_ps(b.even, b.odd);  // e2 o2 e3 o3 | e6 o6 e7 o7
  _mm256_storeu_ps(out, _mm256_permute2f128_ps(lo, hi, 0x20));
  _mm256_storeu_ps(out + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
}

// odd[i] = (even[i] + even[i+1]) * w + odd[i], one block behind its input.
struct PredictStage {
  float w;
  Block held;

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block push(Block in) {
    const Block out{held.even, _mm256_fmadd_ps(_mm256_add_ps(held.even, following(held.even, in.even)),
                                               _mm256_set1_ps(w), held.odd)};
    held = in;
    return out;
  }
};

// even[i] = (odd[i-1] + odd[i]) * w + even[i], on the block it is given.
struct UpdateStage {
  float w;
  __m256 previous_odd;

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block push(Block in) {
    const __m256 left = preceding(in.odd, previous_odd);
    previous_odd = in.odd;
    return {_mm256_fmadd_ps(_mm256_add_ps(left, in.odd), _mm256_set1_ps(w), in.even), in.odd};
  }
};

// Feeds input blocks 0 .. blocks-1 through the pipeline and stores output blocks
// 1 .. blocks-1-kLag. Pipeline provides kLag, load(j), lift(block) and store(j, block).
template <class Pipeline>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void stream(Pipeline& pipeline, std::size_t blocks) {
  for (std::size_t j = 0; j < blocks; ++j) {
    const Block out = pipeline.lift(pipeline.load(j));
    if (j > Pipeline::kLag) {
      pipeline.store(j - Pipeline::kLag, out);
    }
  }
}

// Whether a signal is long enough for the pipeline to store at least one block, given how many
// whole blocks it may read.
template <std::size_t kLag>
constexpr bool streams(std::size_t blocks) {
  return blocks >= kLag + 3;
}

// First pair after the blocks the pipeline stored.
template <std::size_t kLag>
constexpr std::size_t tail_pair(std::size_t blocks) {
  return 8 * (blocks - kLag);
}

// The portable forward kernel on the first kHeadPairs pairs and on pairs from tail on.
template <class Portable>
void forward_ends(std::span<const float> x, std::span<float> approx, std::span<float> details, std::size_t tail) {
  std::array<float, kMaxScalarSamples> a{}, d{};
  const std::size_t head_pairs = kHeadPairs + kMargin;
  Portable::execute_forward_impl(x.first(2 * head_pairs), std::span(a).first(head_pairs),
                                 std::span(d).first(head_pairs));
  std::copy_n(a.begin(), kHeadPairs, approx.begin());
  std::copy_n(d.begin(), kHeadPairs, details.begin());

  const std::size_t start = tail - kMargin;
  const std::span<const float> window = x.subspan(2 * start);
  const std::size_t wa = (window.size() + 1) / 2, wd = window.size() / 2;
  Portable::execute_forward_impl(window, std::span(a).first(wa), std::span(d).first(wd));
  std::copy(a.begin() + kMargin, a.begin() + wa, approx.begin() + tail);
  std::copy(d.begin() + kMargin, d.begin() + wd, details.begin() + tail);
}

// The portable inverse kernel on the first kHeadPairs pairs and on pairs from tail on.
template <class Portable>
void inverse_ends(std::span<const float> approx, std::span<const float> details, std::span<float> output,
                  std::size_t tail) {
  std::array<float, kMaxScalarSamples> y{}, work{};
  const std::size_t head_pairs = kHeadPairs + kMargin;
  Portable::execute_inverse_impl(approx.first(head_pairs), details.first(head_pairs),
                                 std::span(y).first(2 * head_pairs), work);
  std::copy_n(y.begin(), 2 * kHeadPairs, output.begin());

  const std::size_t start = tail - kMargin;
  const std::size_t n = output.size() - 2 * start;
  Portable::execute_inverse_impl(approx.subspan(start), details.subspan(start), std::span(y).first(n), work);
  std::copy(y.begin() + 2 * kMargin, y.begin() + n, output.begin() + 2 * tail);
}

}  // namespace rimble::avx::lifting
