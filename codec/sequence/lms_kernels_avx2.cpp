// codec/sequence/lms_kernels_avx2.cpp: the sign-LMS stages of up to sixteen segments side by side in AVX2 (only
// these functions use AVX2), built for x86-64 only.
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include <immintrin.h>

#include <algorithm>

#include "codec/sequence/kernels.hpp"
#include "codec/sequence/predictors.hpp"

namespace quorvel::sequence {

namespace {

// Lanes in one register; a call takes up to four registers' worth (kLmsLanes).
constexpr std::size_t kRegisterLanes = 4;

// Rows [from, to) of four lanes (each present up to its own end, zeros after it and in absent lanes) into
// io, one row of four per round: 4 x 4 transposes where every lane has the four values.
[[gnu::target("avx2,fma")]] void lanes_to_rows(std::span<const LmsLane> lanes, std::size_t from, std::size_t to,
                                               std::int32_t (*io)[kRegisterLanes]) {
  std::size_t full = to;
  for (const LmsLane& lane : lanes) full = std::min(full, std::max(lane.n, from));
  std::size_t j = from;
  for (; j + 4 <= full; j += 4) {
    __m128i v[kRegisterLanes] = {};
    for (std::size_t l = 0; l < lanes.size(); ++l)
      v[l] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes[l].in + j));
    const __m128i a = _mm_unpacklo_epi32(v[0], v[1]), b = _mm_unpacklo_epi32(v[2], v[3]);
    const __m128i c = _mm_unpackhi_epi32(v[0], v[1]), d = _mm_unpackhi_epi32(v[2], v[3]);
    _mm_store_si128(reinterpret_cast<__m128i*>(io[j - from]), _mm_unpacklo_epi64(a, b));
    _mm_store_si128(reinterpret_cast<__m128i*>(io[j - from + 1]), _mm_unpackhi_epi64(a, b));
    _mm_store_si128(reinterpret_cast<__m128i*>(io[j - from + 2]), _mm_unpacklo_epi64(c, d));
    _mm_store_si128(reinterpret_cast<__m128i*>(io[j - from + 3]), _mm_unpackhi_epi64(c, d));
  }
  for (; j < to; ++j)
    for (std::size_t l = 0; l < kRegisterLanes; ++l)
      io[j - from][l] = l < lanes.size() && j < lanes[l].n ? lanes[l].in[j] : 0;
}

// The low halves of the four 64-bit lanes of a row.
[[gnu::target("avx2,fma")]] inline __m128i low_halves(const __m256i* row) {
  const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_load_si256(row), even));
}

// The inverse, from rows of four 64-bit lanes (their low halves): each lane's values up to its end.
[[gnu::target("avx2,fma")]] void rows_to_lanes(std::span<const LmsLane> lanes, std::size_t from, std::size_t to,
                                               const __m256i* rows) {
  std::size_t full = to;
  for (const LmsLane& lane : lanes) full = std::min(full, std::max(lane.n, from));
  std::size_t j = from;
  for (; j + 4 <= full; j += 4) {
    __m128i v[4];
    for (std::size_t k = 0; k < 4; ++k) v[k] = low_halves(rows + (j + k - from));
    const __m128i a = _mm_unpacklo_epi32(v[0], v[1]), b = _mm_unpacklo_epi32(v[2], v[3]);
    const __m128i c = _mm_unpackhi_epi32(v[0], v[1]), d = _mm_unpackhi_epi32(v[2], v[3]);
    const __m128i column[kRegisterLanes] = {_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b), _mm_unpacklo_epi64(c, d),
                                       _mm_unpackhi_epi64(c, d)};
    for (std::size_t l = 0; l < lanes.size(); ++l)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes[l].out + j), column[l]);
  }
  for (; j < to; ++j) {
    alignas(16) std::int32_t values[kRegisterLanes];
    _mm_store_si128(reinterpret_cast<__m128i*>(values), low_halves(rows + (j - from)));
    for (std::size_t l = 0; l < lanes.size(); ++l)
      if (j < lanes[l].n) lanes[l].out[j] = values[l];
  }
}

// Each lane's step, in both halves of its 64-bit lane.
[[gnu::target("avx2,fma")]] __m256i lane_steps(std::span<const LmsLane> lanes) {
  alignas(32) std::int32_t steps[2 * kRegisterLanes] = {};
  for (std::size_t l = 0; l < lanes.size(); ++l) steps[2 * l] = steps[2 * l + 1] = lanes[l].step;
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(steps));
}

// All ones in the halves of the lanes that have the weights of pair m (taps 2m and 2m + 1), else zeros.
[[gnu::target("avx2,fma")]] __m256i lanes_with_pair(std::span<const LmsLane> lanes, std::size_t m) {
  alignas(32) std::int32_t mask[2 * kRegisterLanes] = {};
  for (std::size_t l = 0; l < lanes.size(); ++l)
    for (std::size_t half = 0; half < 2; ++half) mask[2 * l + half] = static_cast<int>(2 * m + half) < lanes[l].taps ? -1 : 0;
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(mask));
}

// The sum of the weight pairs' products with the differences before round j (dj[-1 - k] is d[j - 1 - k];
// the newest one, d[j - 1], comes from its register, not through memory). The newest difference's product
// comes last: in the inverse, it is the one that waits for the sample before. The older ones go in a row
// where that runs fastest (the inverse at up to 8 taps), else as a tree (in the forward direction they all
// wait for the weights).
template <int Taps, bool Inverse>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i weighted_sum(const __m256i* pairs, const __m256i* dj,
                                                                             __m256i newest) {
  __m256i products[Taps];
#pragma GCC unroll 8
  for (std::size_t m = 0; m < Taps / 2; ++m) {
    const std::ptrdiff_t k = 2 * static_cast<std::ptrdiff_t>(m);
    products[2 * m] = _mm256_mul_epi32(pairs[m], m == 0 ? newest : dj[-1 - k]);
    products[2 * m + 1] = _mm256_mul_epi32(_mm256_srli_epi64(pairs[m], 32), dj[-2 - k]);
  }
  if constexpr (Inverse && Taps <= 8) {
#pragma GCC unroll 8
    for (std::size_t k = 2; k < Taps; ++k) products[1] = _mm256_add_epi64(products[1], products[k]);
  } else {
#pragma GCC unroll 8
    for (std::size_t width = 1; width < Taps; width *= 2)
#pragma GCC unroll 8
      for (std::size_t k = 1; k + width < Taps; k += 2 * width)
        products[k] = _mm256_add_epi64(products[k], products[k + width]);
  }
  return _mm256_add_epi64(products[1], products[0]);
}

// The LMS stages of four lanes in the four 64-bit lanes of a register. A difference d[i] sits in the low
// half of its lane with d[i - 1] in the high half, and the weights go in pairs, w[2m] low and w[2m + 1]
// high: one sign and one add move two weights, by step * sign(residual before) * sign(d) (one sign of the
// other). Weights and differences multiply as signed 32-bit low halves into exact 64-bit products, and
// the low half of the logical shift of the sum is the low half of its arithmetic shift. Lanes past their
// end run on zeros, unread. The differences live in a window of kChunk rounds after the Taps + 1 before
// them. With `Masked` (lanes of fewer taps than Taps), the weights beyond a lane's taps stay zero.
//
// Each round waits for the one before (for its residual's sign, or in the inverse for its difference), so
// one register of lanes leaves the processor idle most of the time: `Groups` registers of four lanes go
// through each round together, their chains side by side.
template <int Taps, bool Inverse, bool Masked, std::size_t Groups>
[[gnu::target("avx2,fma")]] void lms_lanes_run(std::span<const LmsLane> all) {
  // (about 20 KiB of stack a register of lanes: four take 80 KiB at 256 rounds a chunk, so fewer for them)
  constexpr std::size_t kChunk = Groups > 2 ? 128 : 256, kBefore = Taps + 1, kPairs = Taps / 2;
  alignas(32) __m256i d[Groups][kBefore + kChunk] = {}, residuals[Groups][Inverse ? 1 : kChunk], keep[Groups][kPairs];
  alignas(16) std::int32_t in[Groups][kChunk][kRegisterLanes];
  std::span<const LmsLane> lanes[Groups];
  __m256i step[Groups], pairs[Groups][kPairs] = {};
  __m256i direction[Groups], previous[Groups];  // the residuals before, whose signs move the weights; the difference before
  std::size_t rounds = 0;
  for (std::size_t g = 0; g < Groups; ++g) {
    lanes[g] = all.subspan(g * kRegisterLanes, std::min(kRegisterLanes, all.size() - g * kRegisterLanes));
    step[g] = lane_steps(lanes[g]);
    for (std::size_t m = 0; m < kPairs; ++m) keep[g][m] = lanes_with_pair(lanes[g], m);
    direction[g] = previous[g] = _mm256_setzero_si256();
  }
  for (const LmsLane& lane : all) rounds = std::max(rounds, lane.n);
  for (std::size_t base = 0; base < rounds; base += kChunk) {
    const std::size_t length = std::min(kChunk, rounds - base);
    for (std::size_t g = 0; g < Groups; ++g) lanes_to_rows(lanes[g], base, base + length, in[g]);
    for (std::size_t j = 0; j < length; ++j) {
#pragma GCC unroll 4
      for (std::size_t g = 0; g < Groups; ++g) {
        const __m256i* dj = d[g] + kBefore + j;
        const __m256i moving = _mm256_sign_epi32(step[g], _mm256_shuffle_epi32(direction[g], _MM_SHUFFLE(2, 2, 0, 0)));
#pragma GCC unroll 8
        for (std::size_t m = 0; m < kPairs; ++m) {
          const __m256i move = _mm256_sign_epi32(moving, dj[-2 - 2 * static_cast<std::ptrdiff_t>(m)]);
          pairs[g][m] = _mm256_add_epi32(pairs[g][m], Masked ? _mm256_and_si256(move, keep[g][m]) : move);
        }
        const __m256i prediction = _mm256_srli_epi64(weighted_sum<Taps, Inverse>(pairs[g], dj, previous[g]), kLmsShift);
        const __m256i value = _mm256_cvtepi32_epi64(_mm_load_si128(reinterpret_cast<const __m128i*>(in[g][j])));
        const __m256i difference = Inverse ? _mm256_add_epi32(value, prediction) : value;
        d[g][kBefore + j] = _mm256_blend_epi32(difference, _mm256_slli_epi64(previous[g], 32), 0xAA);
        previous[g] = difference;
        direction[g] = Inverse ? value : _mm256_sub_epi32(value, prediction);
        if constexpr (!Inverse) residuals[g][j] = direction[g];
      }
    }
    for (std::size_t g = 0; g < Groups; ++g) {
      rows_to_lanes(lanes[g], base, base + length, Inverse ? d[g] + kBefore : residuals[g]);
      std::copy(d[g] + length, d[g] + length + kBefore, d[g]);
    }
  }
}

template <int Taps, bool Inverse, bool Masked>
void lms_lanes_of_groups(std::span<const LmsLane> lanes) {
  switch ((lanes.size() + kRegisterLanes - 1) / kRegisterLanes) {
    case 1: return lms_lanes_run<Taps, Inverse, Masked, 1>(lanes);
    case 2: return lms_lanes_run<Taps, Inverse, Masked, 2>(lanes);
    case 3: return lms_lanes_run<Taps, Inverse, Masked, 3>(lanes);
    default: return lms_lanes_run<Taps, Inverse, Masked, 4>(lanes);
  }
}

template <int Taps, bool Inverse>
void lms_lanes_of_taps(std::span<const LmsLane> lanes) {
  const bool masked = std::ranges::any_of(lanes, [](const LmsLane& lane) { return lane.taps != Taps; });
  (masked ? lms_lanes_of_groups<Taps, Inverse, true> : lms_lanes_of_groups<Taps, Inverse, false>)(lanes);
}

template <bool Inverse>
void lms_lanes_of(std::span<const LmsLane> lanes) {
  int taps = 2;
  for (const LmsLane& lane : lanes) taps = std::max(taps, lane.taps);
  switch (taps) {
    case 2: return lms_lanes_of_taps<2, Inverse>(lanes);
    case 4: return lms_lanes_of_taps<4, Inverse>(lanes);
    case 8: return lms_lanes_of_taps<8, Inverse>(lanes);
    default: return lms_lanes_of_taps<16, Inverse>(lanes);
  }
}

}  // namespace

void lms_lanes_avx2(std::span<const LmsLane> lanes, bool inverse) {
  if (!inverse) {
    LmsLane rest[kLmsLanes];
    const std::size_t left = lms_forward_narrow_avx2(lanes, rest);
    if (left > 0) lms_lanes_of<false>(std::span<const LmsLane>(rest, left));
    return;
  }
  if (lms_inverse_narrow_avx2(lanes)) return;
  // The inverse stages wait on their sums less than the forward ones: two registers of lanes keep the
  // processor busy.
  for (std::size_t first = 0; first < lanes.size(); first += 2 * kRegisterLanes)
    lms_lanes_of<true>(lanes.subspan(first, std::min(2 * kRegisterLanes, lanes.size() - first)));
}

}  // namespace quorvel::sequence

#endif
