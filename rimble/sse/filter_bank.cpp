// rimble/sse/filter_bank.cpp: the filter-bank kernels on SSE registers, four lanes wide and without
// fused multiply-add: every product is rounded before it is added, as in the portable executors.
#include "rimble/sse/filter_bank.hpp"

#include <immintrin.h>

#include <cstring>

#define RIMBLE_VECTOR_TARGET "sse4.2"
#include "rimble/vector_kernels.hpp"

namespace rimble::sse {
namespace {

#define RIMBLE_SSE [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static
struct Registers {
  using reg = __m128;
  static constexpr std::size_t kLanes = 4;

  RIMBLE_SSE reg zero() { return _mm_setzero_ps(); }
  RIMBLE_SSE reg broadcast(float x) { return _mm_set1_ps(x); }
  RIMBLE_SSE reg load(const float* p) { return _mm_loadu_ps(p); }
  RIMBLE_SSE void store(float* p, reg v) { _mm_storeu_ps(p, v); }
  RIMBLE_SSE reg add(reg a, reg b) { return _mm_add_ps(a, b); }
  RIMBLE_SSE reg multiply(reg a, reg b) { return _mm_mul_ps(a, b); }
  RIMBLE_SSE reg multiply_add(reg a, reg b, reg sum) { return _mm_add_ps(sum, _mm_mul_ps(a, b)); }
  // The pair read as one 64-bit value: a single broadcast.
  RIMBLE_SSE reg tap_pair(const float* f) {
    double pair;
    std::memcpy(&pair, f, sizeof pair);
    return _mm_castpd_ps(_mm_set1_pd(pair));
  }
  RIMBLE_SSE void hold(reg& /*v*/) {}
  RIMBLE_SSE reg add_pairs(reg a, reg b) { return _mm_hadd_ps(a, b); }
  RIMBLE_SSE reg repeat_low(reg v) { return _mm_unpacklo_ps(v, v); }
  RIMBLE_SSE reg repeat_high(reg v) { return _mm_unpackhi_ps(v, v); }
  // One 128-bit group: the doubled halves are already in output order.
  RIMBLE_SSE reg join_first(reg f, reg /*s*/) { return f; }
  RIMBLE_SSE reg join_second(reg /*f*/, reg s) { return s; }
  RIMBLE_SSE reg interleave_pair_sums(reg e, reg o) {
    const reg sums = _mm_hadd_ps(e, o);  // e0 e1 o0 o1
    return _mm_shuffle_ps(sums, sums, 0xD8);
  }
};
#undef RIMBLE_SSE

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

}  // namespace rimble::sse

// The executors, and with them the kernels they call, instantiated once here.
template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 2>;
template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 4>;
template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 6>;
template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 8>;
template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 10>;
template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 12>;
template class rimble::NTapsFilterBank<rimble::sse::FilterBankKernels>;
