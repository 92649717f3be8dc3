// rimble/sse/filter_bank.cpp: SSE polyphase kernels of the two-channel filter banks.
//
// The same polyphase formulation as the AVX2 kernels (rimble/avx/filter_bank.cpp),
// four lanes wide and without fused multiply-add: every product is rounded before
// it is added, as in the portable executors.
//
// Forward: a[i] = sum_k (low[2k], low[2k+1]) . (x[2i+2k], x[2i+2k+1]); one
// unaligned load holds the sample pairs of two consecutive outputs, multiplied
// by the tap pair repeated over the register; a horizontal add of two such
// registers at the end gives four outputs in order.
// Inverse: out[2m+p] += sum_q low[2q+p] a[m+h-q] + high[2q+p] d[m+h-q], h = L/2 - 1;
// each coefficient doubled in place times the tap pair (f[2q], f[2q+1]) gives two
// (even, odd) output pairs per register, already in output order.
#include "rimble/sse/filter_bank.hpp"

#include <immintrin.h>

#include <cstring>

namespace rimble::sse {
namespace {

constexpr std::size_t kLanes = 4;

template <std::size_t L>
[[gnu::always_inline]] inline std::size_t tap_pairs(std::size_t taps) {
  return L != 0 ? L / 2 : taps / 2;
}

[[gnu::target("sse4.2"), gnu::always_inline]] inline __m128 multiply_add(__m128 a, __m128 b, __m128 sum) {
  return _mm_add_ps(sum, _mm_mul_ps(a, b));
}

// The filter pair f[2k], f[2k+1] repeated over the register (read as one
// 64-bit value: a single broadcast).
[[gnu::target("sse4.2"), gnu::always_inline]] inline __m128 tap_pair(const float* f) {
  double pair;
  std::memcpy(&pair, f, sizeof pair);
  return _mm_castpd_ps(_mm_set1_pd(pair));
}

// B registers of consecutive outputs starting at approx/details, window at x.
// Register half h of output register b holds the sample pairs of outputs
// 4b + 2h and 4b + 2h + 1; lane 2t sums the even taps of its output, lane 2t+1
// the odd taps.
template <std::size_t L, std::size_t B>
[[gnu::target("sse4.2"), gnu::always_inline]] inline void forward_registers(const float* x, const float* low,
                                                                           const float* high, std::size_t taps,
                                                                           float* approx, float* details) {
  __m128 low_sums[2 * B], high_sums[2 * B];
  #pragma GCC unroll 16
  for (std::size_t r = 0; r < 2 * B; ++r) low_sums[r] = high_sums[r] = _mm_setzero_ps();
  const std::size_t pairs = tap_pairs<L>(taps);
  #pragma GCC unroll 16
  for (std::size_t k = 0; k < pairs; ++k) {
    const __m128 low_pair = tap_pair(low + 2 * k);
    const __m128 high_pair = tap_pair(high + 2 * k);
    #pragma GCC unroll 16
    for (std::size_t r = 0; r < 2 * B; ++r) {
      const __m128 samples = _mm_loadu_ps(x + kLanes * r + 2 * k);
      low_sums[r] = multiply_add(low_pair, samples, low_sums[r]);
      high_sums[r] = multiply_add(high_pair, samples, high_sums[r]);
    }
  }
  #pragma GCC unroll 16
  for (std::size_t b = 0; b < B; ++b) {
    _mm_storeu_ps(approx + kLanes * b, _mm_hadd_ps(low_sums[2 * b], low_sums[2 * b + 1]));
    _mm_storeu_ps(details + kLanes * b, _mm_hadd_ps(high_sums[2 * b], high_sums[2 * b + 1]));
  }
}

struct OutputPair {
  __m128 first;
  __m128 second;
};

// out[2m .. 2m+8) plus the contributions of the coefficient pairs m-h .. m+3
// (a and d point at coefficient m). Each coefficient is doubled in place so that
// one register holds two even/odd output pairs.
template <std::size_t L>
[[gnu::target("sse4.2"), gnu::always_inline]] inline OutputPair inverse_register(const float* a, const float* d,
                                                                                const float* low, const float* high,
                                                                                std::size_t taps,
                                                                                const float* out) {
  __m128 approx_first = _mm_setzero_ps(), approx_second = _mm_setzero_ps();
  __m128 detail_first = _mm_setzero_ps(), detail_second = _mm_setzero_ps();
  const std::size_t pairs = tap_pairs<L>(taps);
  #pragma GCC unroll 16
  for (std::size_t q = 0; q < pairs; ++q) {
    const std::size_t offset = pairs - 1 - q;
    const __m128 approx = _mm_loadu_ps(a + offset);
    const __m128 detail = _mm_loadu_ps(d + offset);
    const __m128 low_pair = tap_pair(low + 2 * q);
    const __m128 high_pair = tap_pair(high + 2 * q);
    approx_first = multiply_add(low_pair, _mm_unpacklo_ps(approx, approx), approx_first);
    approx_second = multiply_add(low_pair, _mm_unpackhi_ps(approx, approx), approx_second);
    detail_first = multiply_add(high_pair, _mm_unpacklo_ps(detail, detail), detail_first);
    detail_second = multiply_add(high_pair, _mm_unpackhi_ps(detail, detail), detail_second);
  }
  return {_mm_add_ps(_mm_loadu_ps(out), _mm_add_ps(approx_first, detail_first)),
          _mm_add_ps(_mm_loadu_ps(out + kLanes), _mm_add_ps(approx_second, detail_second))};
}

}  // namespace

template <std::size_t L>
[[gnu::target("sse4.2")]] void FilterBankKernels::forward(const float* x, std::size_t count, const float* low,
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
  // One register ending at the last output; the outputs it recomputes get the
  // same values again.
  if (i < count) {
    const std::size_t last = count - kLanes;
    forward_registers<L, 1>(x + 2 * last, low, high, taps, approx + last, details + last);
  }
}

template <std::size_t L>
[[gnu::target("sse4.2")]] void FilterBankKernels::inverse(const float* approx, const float* details,
                                                          std::size_t count, const float* low, const float* high,
                                                          std::size_t taps, float* out) {
  if (count < kLanes) {
    simd::inverse_short(approx, details, count, low, high, L != 0 ? L : taps, out);
    return;
  }
  // The output is added into: the overlapping last register is computed from
  // the untouched output first and stored after everything else.
  const std::size_t last = count - kLanes;
  const OutputPair tail = inverse_register<L>(approx + last, details + last, low, high, taps, out + 2 * last);
  std::size_t m = 0;
  for (; m + 2 * kLanes <= last; m += 2 * kLanes) {
    const OutputPair first = inverse_register<L>(approx + m, details + m, low, high, taps, out + 2 * m);
    const OutputPair second =
        inverse_register<L>(approx + m + kLanes, details + m + kLanes, low, high, taps, out + 2 * (m + kLanes));
    _mm_storeu_ps(out + 2 * m, first.first);
    _mm_storeu_ps(out + 2 * m + kLanes, first.second);
    _mm_storeu_ps(out + 2 * (m + kLanes), second.first);
    _mm_storeu_ps(out + 2 * (m + kLanes) + kLanes, second.second);
  }
  for (; m < last; m += kLanes) {
    const OutputPair next = inverse_register<L>(approx + m, details + m, low, high, taps, out + 2 * m);
    _mm_storeu_ps(out + 2 * m, next.first);
    _mm_storeu_ps(out + 2 * m + kLanes, next.second);
  }
  _mm_storeu_ps(out + 2 * last, tail.first);
  _mm_storeu_ps(out + 2 * last + kLanes, tail.second);
}

#define RIMBLE_SSE_FILTER_BANK_KERNELS(L)                                                                      \
  template void FilterBankKernels::forward<L>(const float*, std::size_t, const float*, const float*,           \
                                              std::size_t, float*, float*);                                    \
  template void FilterBankKernels::inverse<L>(const float*, const float*, std::size_t, const float*,           \
                                              const float*, std::size_t, float*);
RIMBLE_SSE_FILTER_BANK_KERNELS(0)
RIMBLE_SSE_FILTER_BANK_KERNELS(2)
RIMBLE_SSE_FILTER_BANK_KERNELS(4)
RIMBLE_SSE_FILTER_BANK_KERNELS(6)
RIMBLE_SSE_FILTER_BANK_KERNELS(8)
RIMBLE_SSE_FILTER_BANK_KERNELS(10)
RIMBLE_SSE_FILTER_BANK_KERNELS(12)
#undef RIMBLE_SSE_FILTER_BANK_KERNELS

}  // namespace rimble::sse

// The executors, instantiated once here (declared extern in the header).
template class rimble::simd::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 2>;
template class rimble::simd::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 4>;
template class rimble::simd::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 6>;
template class rimble::simd::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 8>;
template class rimble::simd::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 10>;
template class rimble::simd::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 12>;
template class rimble::simd::NTapsFilterBank<rimble::sse::FilterBankKernels>;

