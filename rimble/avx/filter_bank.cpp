// rimble/avx/filter_bank.cpp: the filter-bank kernels on AVX2 registers with fused multiply-add.
//
// Cost: L fused multiply-adds per eight samples in both directions. The forward
// step runs at the bound of the two FMA pipes (one load per FMA pair, the tap
// pairs broadcast from memory). The inverse also spends one in-lane shuffle per
// FMA to double the coefficients, which leaves it about a fifth above that bound.
// Two output registers per step give the independent sums that cover the FMA
// latency.
#include "rimble/avx/filter_bank.hpp"

#include <immintrin.h>

#define RIMBLE_VECTOR_TARGET "avx2,fma"
#include "rimble/vector_kernels.hpp"

namespace rimble::avx {
namespace {

#define RIMBLE_AVX [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static
struct Registers {
  using reg = __m256;
  static constexpr std::size_t kLanes = 8;

  RIMBLE_AVX reg zero() { return _mm256_setzero_ps(); }
  RIMBLE_AVX reg broadcast(float x) { return _mm256_set1_ps(x); }
  RIMBLE_AVX reg load(const float* p) { return _mm256_loadu_ps(p); }
  RIMBLE_AVX void store(float* p, reg v) { _mm256_storeu_ps(p, v); }
  RIMBLE_AVX reg add(reg a, reg b) { return _mm256_add_ps(a, b); }
  RIMBLE_AVX reg multiply(reg a, reg b) { return _mm256_mul_ps(a, b); }
  RIMBLE_AVX reg multiply_add(reg a, reg b, reg sum) { return _mm256_fmadd_ps(a, b, sum); }
  // One 64-bit broadcast straight from memory (a load, no shuffle; the builtin
  // reads the bytes, there is no double object involved).
  RIMBLE_AVX reg tap_pair(const float* f) {
    return _mm256_castpd_ps(_mm256_broadcast_sd(reinterpret_cast<const double*>(f)));
  }
  // Otherwise GCC folds a load that two FMAs share into both of them, and the
  // doubled 256-bit loads, not the two FMA pipes, bound the loop (about 30%
  // slower).
  RIMBLE_AVX void hold(reg& v) { asm("" : "+x"(v)); }
  // hadd works per 128-bit half (outputs 0 1 4 5 | 2 3 6 7); one 64-bit
  // permute puts them in order.
  RIMBLE_AVX reg add_pairs(reg a, reg b) {
    return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_hadd_ps(a, b)), 0xD8));
  }
  RIMBLE_AVX reg repeat_low(reg v) { return _mm256_unpacklo_ps(v, v); }
  RIMBLE_AVX reg repeat_high(reg v) { return _mm256_unpackhi_ps(v, v); }
  // repeat_low covers outputs 0..3 | 8..11 of sixteen, repeat_high 4..7 | 12..15.
  RIMBLE_AVX reg join_first(reg f, reg s) { return _mm256_permute2f128_ps(f, s, 0x20); }
  RIMBLE_AVX reg join_second(reg f, reg s) { return _mm256_permute2f128_ps(f, s, 0x31); }
  // hadd gives e0 e1 o0 o1 in each 128-bit half; one in-half permute interleaves them.
  RIMBLE_AVX reg interleave_pair_sums(reg e, reg o) { return _mm256_permute_ps(_mm256_hadd_ps(e, o), 0xD8); }
};
#undef RIMBLE_AVX

using Loops = VectorKernels<Registers>;

}  // namespace

template <std::size_t L>
[[gnu::target(RIMBLE_VECTOR_TARGET)]] void FilterBankKernels::forward(const float* x, std::size_t count,
                                                                      const float* low, const float* high,
                                                                      std::size_t taps, float* approx,
                                                                      float* details) {
  Loops::forward<L>(x, count, low, high, taps, approx, details);
}

template <std::size_t L>
[[gnu::target(RIMBLE_VECTOR_TARGET)]] void FilterBankKernels::inverse(const float* approx, const float* details,
                                                                      std::size_t count, const float* low,
                                                                      const float* high, std::size_t taps,
                                                                      float* out) {
  Loops::inverse<L>(approx, details, count, low, high, taps, out);
}

template <std::size_t L>
[[gnu::target(RIMBLE_VECTOR_TARGET)]] void FilterBankKernels::inverse_quantised(
    const float* approx, const std::int16_t* details, float step, std::size_t count, const float* low,
    const float* high, float* out, const OutputMap<float>& map) {
  Loops::inverse_quantised<L>(approx, details, step, count, low, high, out, map);
}

}  // namespace rimble::avx

// The executors, and with them the kernels they call, instantiated once here.
template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 2>;
template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 4>;
template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 6>;
template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 8>;
template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 10>;
template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 12>;
template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 16>;
template class rimble::NTapsFilterBank<rimble::avx::FilterBankKernels>;
