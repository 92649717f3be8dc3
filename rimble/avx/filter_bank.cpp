// rimble/avx/filter_bank.cpp: AVX2+FMA polyphase kernels of the two-channel filter banks.
//
// Forward. Output i of a band is sum_j f[j] x[2i+j]: the window of output i+1 is
// that of output i moved by one sample pair. Grouping the taps in pairs,
//   a[i] = sum_k (low[2k], low[2k+1]) . (x[2i+2k], x[2i+2k+1]),
// one unaligned load at x + 2i + 2k holds the sample pairs of four consecutive
// outputs, and one fused multiply-add by the tap pair repeated over the register
// adds tap pair k to all four at once: the taps run down the lanes vertically,
// with no shuffle in the loop. Each lane sums the even or the odd taps of its
// output; one horizontal add of two such registers at the end joins the halves
// (it works per 128-bit half, leaving the outputs in the order 0 1 4 5 2 3 6 7,
// which one 64-bit permute puts right).
//
// Inverse. The inverse is the transpose of the forward step: with h = L/2 - 1,
//   out[2m+p] += sum_q low[2q+p] a[m+h-q] + high[2q+p] d[m+h-q],  p = 0, 1,
// so a register of output pairs (even, odd) is again a vertical sum: each
// coefficient, loaded unaligned and doubled in place, times the tap pair
// (f[2q], f[2q+1]) repeated over the register.
// In this gathering form every output sample in 0 .. 2m-L+2 reads only
// coefficients that exist, so no sample needs the bound check of the scattering
// form, and no output needs the border mode.
//
// Cost: L fused multiply-adds per eight samples in both directions. The forward
// step runs at the bound of the two FMA pipes (one load per FMA pair, the tap
// pairs broadcast from memory). The inverse also spends one in-lane shuffle per
// FMA to double the coefficients, which leaves it about a fifth above that bound.
// Two output registers per step give the independent sums that cover the FMA
// latency.
#include "rimble/avx/filter_bank.hpp"

#include <immintrin.h>

namespace rimble::avx {
namespace {

constexpr std::size_t kLanes = 8;

// Tap pairs of the filter: compile-time when the executor has a fixed length.
template <std::size_t L>
[[gnu::always_inline]] inline std::size_t tap_pairs(std::size_t taps) {
  return L != 0 ? L / 2 : taps / 2;
}

// Makes GCC hold v in a register. Otherwise it folds a load that two FMAs
// share into both of them, and the doubled 256-bit loads, not the two FMA
// pipes, bound the loop (about 30% slower).
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void keep_in_register(__m256& v) { asm("" : "+x"(v)); }

// Lane order 0 1 4 5 2 3 6 7 (from the in-half shuffles) back to 0 .. 7.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 restore_lane_order(__m256 v) {
  return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(v), 0xD8));
}

// The filter pair f[2k], f[2k+1] repeated over the register: one 64-bit
// broadcast straight from memory (a load, no shuffle; the builtin reads the
// bytes, there is no double object involved).
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 tap_pair(const float* f) {
  return _mm256_castpd_ps(_mm256_broadcast_sd(reinterpret_cast<const double*>(f)));
}

// B registers of consecutive outputs starting at approx/details, window at x.
// Register half h of output register b holds the sample pairs of outputs
// 8b + 4h .. 8b + 4h + 3; lane 2t sums the even taps of its output, lane 2t+1
// the odd taps.
template <std::size_t L, std::size_t B>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void forward_registers(const float* x, const float* low,
                                                                             const float* high, std::size_t taps,
                                                                             float* approx, float* details) {
  __m256 low_sums[2 * B], high_sums[2 * B];
  #pragma GCC unroll 16
  for (std::size_t r = 0; r < 2 * B; ++r) low_sums[r] = high_sums[r] = _mm256_setzero_ps();
  const std::size_t pairs = tap_pairs<L>(taps);
  #pragma GCC unroll 16
  for (std::size_t k = 0; k < pairs; ++k) {
    const __m256 low_pair = tap_pair(low + 2 * k);
    const __m256 high_pair = tap_pair(high + 2 * k);
    #pragma GCC unroll 16
    for (std::size_t r = 0; r < 2 * B; ++r) {
      __m256 samples = _mm256_loadu_ps(x + kLanes * r + 2 * k);
      keep_in_register(samples);
      low_sums[r] = _mm256_fmadd_ps(low_pair, samples, low_sums[r]);
      high_sums[r] = _mm256_fmadd_ps(high_pair, samples, high_sums[r]);
    }
  }
  // hadd per 128-bit half: outputs 0 1 4 5 | 2 3 6 7 of the register.
  #pragma GCC unroll 16
  for (std::size_t b = 0; b < B; ++b) {
    const __m256 a = _mm256_hadd_ps(low_sums[2 * b], low_sums[2 * b + 1]);
    const __m256 d = _mm256_hadd_ps(high_sums[2 * b], high_sums[2 * b + 1]);
    _mm256_storeu_ps(approx + kLanes * b, restore_lane_order(a));
    _mm256_storeu_ps(details + kLanes * b, restore_lane_order(d));
  }
}

// Adds to out[2m .. 2m + 16B) the contributions of the coefficient pairs
// m-h .. m+8B-1 (a and d point at coefficient m) and returns the sums in
// sums[2b] (out + 16b) and sums[2b+1] (out + 16b + 8), unstored. Each
// coefficient is doubled in place (unpack with itself, per 128-bit half) so
// that one register holds four (even, odd) output pairs: outputs 0..3 | 8..11
// and 4..7 | 12..15 of its sixteen. The B registers share the tap pairs.
template <std::size_t L, std::size_t B>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void inverse_registers(const float* a, const float* d,
                                                                             const float* low, const float* high,
                                                                             std::size_t taps, const float* out,
                                                                             __m256 (&sums)[2 * B]) {
  __m256 approx_first[B], approx_second[B], detail_first[B], detail_second[B];
  #pragma GCC unroll 16
  for (std::size_t b = 0; b < B; ++b) {
    approx_first[b] = approx_second[b] = detail_first[b] = detail_second[b] = _mm256_setzero_ps();
  }
  const std::size_t pairs = tap_pairs<L>(taps);
  #pragma GCC unroll 16
  for (std::size_t q = 0; q < pairs; ++q) {
    const std::size_t offset = pairs - 1 - q;
    const __m256 low_pair = tap_pair(low + 2 * q);
    const __m256 high_pair = tap_pair(high + 2 * q);
    #pragma GCC unroll 16
    for (std::size_t b = 0; b < B; ++b) {
      const __m256 approx = _mm256_loadu_ps(a + kLanes * b + offset);
      const __m256 detail = _mm256_loadu_ps(d + kLanes * b + offset);
      approx_first[b] = _mm256_fmadd_ps(low_pair, _mm256_unpacklo_ps(approx, approx), approx_first[b]);
      approx_second[b] = _mm256_fmadd_ps(low_pair, _mm256_unpackhi_ps(approx, approx), approx_second[b]);
      detail_first[b] = _mm256_fmadd_ps(high_pair, _mm256_unpacklo_ps(detail, detail), detail_first[b]);
      detail_second[b] = _mm256_fmadd_ps(high_pair, _mm256_unpackhi_ps(detail, detail), detail_second[b]);
    }
  }
  #pragma GCC unroll 16
  for (std::size_t b = 0; b < B; ++b) {
    const __m256 mixed_first = _mm256_add_ps(approx_first[b], detail_first[b]);
    const __m256 mixed_second = _mm256_add_ps(approx_second[b], detail_second[b]);
    const float* base = out + 2 * kLanes * b;
    sums[2 * b] = _mm256_add_ps(_mm256_loadu_ps(base), _mm256_permute2f128_ps(mixed_first, mixed_second, 0x20));
    sums[2 * b + 1] =
        _mm256_add_ps(_mm256_loadu_ps(base + kLanes), _mm256_permute2f128_ps(mixed_first, mixed_second, 0x31));
  }
}

template <std::size_t N>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void store_registers(float* out, const __m256 (&sums)[N]) {
  #pragma GCC unroll 16
  for (std::size_t r = 0; r < N; ++r) _mm256_storeu_ps(out + kLanes * r, sums[r]);
}

}  // namespace

template <std::size_t L>
[[gnu::target("avx2,fma")]] void FilterBankKernels::forward(const float* x, std::size_t count, const float* low,
                                                            const float* high, std::size_t taps, float* approx,
                                                            float* details) {
  if (count < kLanes) {
    simd::forward_short(x, count, low, high, L != 0 ? L : taps, approx, details);
    return;
  }
  std::size_t i = 0;
  for (; i + 2 * kLanes <= count; i += 2 * kLanes) {
    forward_registers<L, 2>(x + 2 * i, low, high, taps, approx + i, details + i);
  }
  if (i + kLanes <= count) {
    forward_registers<L, 1>(x + 2 * i, low, high, taps, approx + i, details + i);
    i += kLanes;
  }
  // The last few outputs: one register ending at the last output. It overlaps
  // outputs already written and recomputes them with the same operations, so
  // they keep their values.
  if (i < count) {
    const std::size_t last = count - kLanes;
    forward_registers<L, 1>(x + 2 * last, low, high, taps, approx + last, details + last);
  }
}

template <std::size_t L>
[[gnu::target("avx2,fma")]] void FilterBankKernels::inverse(const float* approx, const float* details,
                                                            std::size_t count, const float* low, const float* high,
                                                            std::size_t taps, float* out) {
  if (count < kLanes) {
    simd::inverse_short(approx, details, count, low, high, L != 0 ? L : taps, out);
    return;
  }
  // The inverse adds into the output, so a register that overlaps finished
  // samples must not run after them: the last register is computed from the
  // untouched output first and stored at the end.
  const std::size_t last = count - kLanes;
  __m256 tail[2];
  inverse_registers<L, 1>(approx + last, details + last, low, high, taps, out + 2 * last, tail);
  std::size_t m = 0;
  for (; m + 2 * kLanes <= last; m += 2 * kLanes) {
    __m256 sums[4];
    inverse_registers<L, 2>(approx + m, details + m, low, high, taps, out + 2 * m, sums);
    store_registers(out + 2 * m, sums);
  }
  for (; m < last; m += kLanes) {
    __m256 sums[2];
    inverse_registers<L, 1>(approx + m, details + m, low, high, taps, out + 2 * m, sums);
    store_registers(out + 2 * m, sums);
  }
  store_registers(out + 2 * last, tail);
}

#define RIMBLE_AVX_FILTER_BANK_KERNELS(L)                                                                      \
  template void FilterBankKernels::forward<L>(const float*, std::size_t, const float*, const float*,           \
                                              std::size_t, float*, float*);                                    \
  template void FilterBankKernels::inverse<L>(const float*, const float*, std::size_t, const float*,           \
                                              const float*, std::size_t, float*);
RIMBLE_AVX_FILTER_BANK_KERNELS(0)
RIMBLE_AVX_FILTER_BANK_KERNELS(2)
RIMBLE_AVX_FILTER_BANK_KERNELS(4)
RIMBLE_AVX_FILTER_BANK_KERNELS(6)
RIMBLE_AVX_FILTER_BANK_KERNELS(8)
RIMBLE_AVX_FILTER_BANK_KERNELS(10)
RIMBLE_AVX_FILTER_BANK_KERNELS(12)
RIMBLE_AVX_FILTER_BANK_KERNELS(16)
#undef RIMBLE_AVX_FILTER_BANK_KERNELS

}  // namespace rimble::avx

// The executors, instantiated once here (declared extern in the header).
template class rimble::simd::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 2>;
template class rimble::simd::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 4>;
template class rimble::simd::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 6>;
template class rimble::simd::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 8>;
template class rimble::simd::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 10>;
template class rimble::simd::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 12>;
template class rimble::simd::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 16>;
template class rimble::simd::NTapsFilterBank<rimble::avx::FilterBankKernels>;

