// rimble/sse/filter_bank.cpp: the filter-bank kernels on SSE registers, four lanes wide and without
// fused multiply-add: every product is rounded before it is added, as in the portable executors.
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include <immintrin.h>

#include <cstring>

#define RIMBLE_VECTOR_TARGET "sse4.2"
#include "rimble/vector_kernels.hpp"

namespace rimble {
namespace {

struct SseRegisters {
  using reg = __m128;

  RIMBLE_VECTOR_OPERATION reg broadcast(float x) { return _mm_set1_ps(x); }
  RIMBLE_VECTOR_OPERATION reg multiply_add(reg a, reg b, reg sum) { return _mm_add_ps(sum, _mm_mul_ps(a, b)); }
  // The pair read as one 64-bit value: a single broadcast.
  RIMBLE_VECTOR_OPERATION reg tap_pair(const float* f) {
    double pair;
    std::memcpy(&pair, f, sizeof pair);
    return _mm_castpd_ps(_mm_set1_pd(pair));
  }
  RIMBLE_VECTOR_OPERATION void hold(reg& /*v*/) {}
  RIMBLE_VECTOR_OPERATION reg add_pairs(reg a, reg b) { return _mm_hadd_ps(a, b); }
  RIMBLE_VECTOR_OPERATION reg repeat_low(reg v) { return _mm_unpacklo_ps(v, v); }
  RIMBLE_VECTOR_OPERATION reg repeat_high(reg v) { return _mm_unpackhi_ps(v, v); }
  // One 128-bit group: the doubled halves are already in output order.
  RIMBLE_VECTOR_OPERATION reg join_first(reg f, reg /*s*/) { return f; }
  RIMBLE_VECTOR_OPERATION reg join_second(reg /*f*/, reg s) { return s; }
  RIMBLE_VECTOR_OPERATION reg interleave_pair_sums(reg e, reg o) {
    const reg sums = _mm_hadd_ps(e, o);  // e0 e1 o0 o1
    return _mm_shuffle_ps(sums, sums, 0xD8);
  }
};

}  // namespace

template <>
struct TierLoops<ProcessorTier::Sse> : VectorLoops<SseRegisters> {};

RIMBLE_INSTANTIATE_VECTOR_KERNELS(ProcessorTier::Sse)

}  // namespace rimble

#endif
