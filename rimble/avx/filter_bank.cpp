// rimble/avx/filter_bank.cpp: the filter-bank kernels on AVX2 registers with fused multiply-add.
//
// Cost: L fused multiply-adds per eight samples in both directions. The forward
// step runs at the bound of the two FMA pipes (one load per FMA pair, the tap
// pairs broadcast from memory). The inverse also spends one in-lane shuffle per
// FMA to double the coefficients, which leaves it about a fifth above that bound.
// Two output registers per step give the independent sums that cover the FMA
// latency.
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include <immintrin.h>

#define RIMBLE_VECTOR_TARGET "avx2,fma"
#include "rimble/vector_kernels.hpp"

namespace rimble {
namespace {

struct AvxRegisters {
  using reg = __m256;

  RIMBLE_VECTOR_OPERATION reg broadcast(float x) { return _mm256_set1_ps(x); }
  RIMBLE_VECTOR_OPERATION reg multiply_add(reg a, reg b, reg sum) { return _mm256_fmadd_ps(a, b, sum); }
  // One 64-bit broadcast straight from memory (a load, no shuffle; the builtin
  // reads the bytes, there is no double object involved).
  RIMBLE_VECTOR_OPERATION reg tap_pair(const float* f) {
    return _mm256_castpd_ps(_mm256_broadcast_sd(reinterpret_cast<const double*>(f)));
  }
  // Otherwise GCC folds a load that two FMAs share into both of them, and the
  // doubled 256-bit loads, not the two FMA pipes, bound the loop (about 30%
  // slower).
  RIMBLE_VECTOR_OPERATION void hold(reg& v) { asm("" : "+x"(v)); }
  // hadd works per 128-bit half (outputs 0 1 4 5 | 2 3 6 7); one 64-bit
  // permute puts them in order.
  RIMBLE_VECTOR_OPERATION reg add_pairs(reg a, reg b) {
    return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_hadd_ps(a, b)), 0xD8));
  }
  RIMBLE_VECTOR_OPERATION reg repeat_low(reg v) { return _mm256_unpacklo_ps(v, v); }
  RIMBLE_VECTOR_OPERATION reg repeat_high(reg v) { return _mm256_unpackhi_ps(v, v); }
  // repeat_low covers outputs 0..3 | 8..11 of sixteen, repeat_high 4..7 | 12..15.
  RIMBLE_VECTOR_OPERATION reg join_first(reg f, reg s) { return _mm256_permute2f128_ps(f, s, 0x20); }
  RIMBLE_VECTOR_OPERATION reg join_second(reg f, reg s) { return _mm256_permute2f128_ps(f, s, 0x31); }
  // hadd gives e0 e1 o0 o1 in each 128-bit half; one in-half permute interleaves them.
  RIMBLE_VECTOR_OPERATION reg interleave_pair_sums(reg e, reg o) {
    return _mm256_permute_ps(_mm256_hadd_ps(e, o), 0xD8);
  }
};

}  // namespace

template <>
struct TierLoops<ProcessorTier::Avx> : VectorLoops<AvxRegisters> {};

RIMBLE_INSTANTIATE_VECTOR_KERNELS(ProcessorTier::Avx)

}  // namespace rimble

#endif
