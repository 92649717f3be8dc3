// codec/sequence/lms_narrow_avx2.cpp: the sign-LMS stages of up to sixteen segments in 16-bit weights and
// differences, eight lanes a register (only these functions use AVX2), built for x86-64 only.
//
// A lane's weights move by at most `step` a round after its first, so over a segment they stay within
// step * (n - 1). While every difference stays within a bound B with taps * step * (n - 1) * B < 2^31, the
// weighted sum is exact in 32 bits, and 16-bit multiplies that add pairs of products (vpmaddwd) give the
// exact 64-bit kernel's values at about a quarter of its work. The forward stage knows its differences
// before it runs: a lane whose differences all fit its bound goes narrow, the others to the exact kernel.
// The inverse learns them as it goes: each is checked as it goes out, and one beyond its lane's bound makes
// the call give up, and the caller runs the exact kernel on the inputs, which the narrow one never writes.
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "codec/sequence/kernels.hpp"
#include "codec/sequence/predictors.hpp"

namespace quorvel::sequence {

namespace {

constexpr std::size_t kLanes = 8;  // 32-bit lanes in a register
constexpr std::size_t kChunk = 256;
constexpr std::int64_t kLargestDifference = 32767;

// The largest difference for which a lane's weighted sums stay exact in 32 bits; 0 where its weights may
// leave 16 bits.
std::int32_t difference_bound(const LmsLane& lane) {
  const std::int64_t weight = std::int64_t{lane.step} * std::max<std::int64_t>(std::int64_t(lane.n) - 1, 1);
  if (lane.step < 0 || lane.taps <= 0 || weight > 32767) return 0;
  const std::int64_t most = (std::int64_t{1} << 31) / (lane.taps * std::max<std::int64_t>(weight, 1)) - 1;
  return static_cast<std::int32_t>(std::min(kLargestDifference, most));
}

[[gnu::target("avx2,fma")]] inline void transpose8(__m256i (&v)[kLanes]) {
  __m256i t[kLanes], u[kLanes];
  for (std::size_t k = 0; k < kLanes; k += 2)
    t[k] = _mm256_unpacklo_epi32(v[k], v[k + 1]), t[k + 1] = _mm256_unpackhi_epi32(v[k], v[k + 1]);
  for (std::size_t k = 0; k < kLanes; k += 4) {
    u[k] = _mm256_unpacklo_epi64(t[k], t[k + 2]), u[k + 1] = _mm256_unpackhi_epi64(t[k], t[k + 2]);
    u[k + 2] = _mm256_unpacklo_epi64(t[k + 1], t[k + 3]), u[k + 3] = _mm256_unpackhi_epi64(t[k + 1], t[k + 3]);
  }
  for (std::size_t k = 0; k < 4; ++k)
    v[k] = _mm256_permute2x128_si256(u[k], u[k + 4], 0x20), v[k + 4] = _mm256_permute2x128_si256(u[k], u[k + 4], 0x31);
}

// The rounds a register's lanes all have, from `from` (at most `to`).
std::size_t common_end(std::span<const LmsLane> lanes, std::size_t from, std::size_t to) {
  std::size_t full = to;
  for (const LmsLane& lane : lanes) full = std::min(full, std::max(lane.n, from));
  return full;
}

// Rows [from, to) of eight lanes' inputs (zeros past a lane's end and in absent lanes), one row a round.
[[gnu::target("avx2,fma")]] void inputs_to_rows(std::span<const LmsLane> lanes, std::size_t from, std::size_t to,
                                                std::int32_t (*rows)[kLanes]) {
  const std::size_t full = common_end(lanes, from, to);
  std::size_t j = from;
  for (; j + kLanes <= full; j += kLanes) {
    __m256i v[kLanes] = {};
    for (std::size_t l = 0; l < kLanes; ++l)
      if (l < lanes.size()) v[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[l].in + j));
    transpose8(v);
    for (std::size_t k = 0; k < kLanes; ++k) _mm256_store_si256(reinterpret_cast<__m256i*>(rows[j - from + k]), v[k]);
  }
  for (; j < to; ++j)
    for (std::size_t l = 0; l < kLanes; ++l) rows[j - from][l] = l < lanes.size() && j < lanes[l].n ? lanes[l].in[j] : 0;
}

// The inverse: each lane's differences up to its end; false if one leaves its lane's bound.
[[gnu::target("avx2,fma")]] bool rows_to_outputs(std::span<const LmsLane> lanes, std::size_t from, std::size_t to,
                                                 const std::int32_t (*rows)[kLanes], const std::int32_t* bound) {
  const std::size_t full = common_end(lanes, from, to);
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bound));
  const __m256i low = _mm256_sub_epi32(_mm256_setzero_si256(), high);
  __m256i outside = _mm256_setzero_si256();
  std::size_t j = from;
  for (; j + kLanes <= full; j += kLanes) {
    __m256i v[kLanes];
    for (std::size_t k = 0; k < kLanes; ++k) {
      v[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(rows[j - from + k]));
      outside = _mm256_or_si256(outside, _mm256_or_si256(_mm256_cmpgt_epi32(v[k], high), _mm256_cmpgt_epi32(low, v[k])));
    }
    transpose8(v);
    for (std::size_t l = 0; l < kLanes; ++l)
      if (l < lanes.size()) _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes[l].out + j), v[l]);
  }
  bool inside = _mm256_testz_si256(outside, outside);
  for (; j < to; ++j)
    for (std::size_t l = 0; l < lanes.size(); ++l)
      if (j < lanes[l].n) {
        const std::int32_t value = rows[j - from][l];
        inside &= value <= bound[l] && value >= -bound[l];
        lanes[l].out[j] = value;
      }
  return inside;
}

// The sum of the pairs' products. In the inverse the newest difference's product comes last: it is the one
// the round waits for. In the forward stage they all wait for the weights: a tree.
template <std::size_t Pairs, bool Inverse>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i pair_sum(__m256i (&products)[Pairs]) {
  if constexpr (Inverse) {
#pragma GCC unroll 8
    for (std::size_t m = 2; m < Pairs; ++m) products[1] = _mm256_add_epi32(products[1], products[m]);
  } else {
#pragma GCC unroll 8
    for (std::size_t width = 1; width < Pairs; width *= 2)
#pragma GCC unroll 8
      for (std::size_t m = 1; m + width < Pairs; m += 2 * width) products[m] = _mm256_add_epi32(products[m], products[m + width]);
  }
  if constexpr (Pairs > 1) return _mm256_add_epi32(products[1], products[0]);
  return products[0];
}

// Eight lanes' differences in the eight 32-bit lanes of a register: d[i] in the low 16 bits of its lane
// with d[i - 1] in the high 16, and the weights in pairs the same way, w[2m] low and w[2m + 1] high. One
// 16-bit sign and add move two weights, one vpmaddwd adds two products. Forward, rows go from differences
// to residuals; inverse, from residuals to differences (false where one leaves its bound). (One register
// of lanes at a time: two side by side run out of registers and go no faster.)
template <int Taps, bool Masked, bool Inverse>
[[gnu::target("avx2,fma")]] bool narrow_run(std::span<const LmsLane> lanes, const std::int32_t* bound) {
  constexpr std::size_t kBefore = Taps + 1, kPairs = Taps / 2;
  alignas(32) __m256i d[kBefore + kChunk] = {};
  alignas(32) std::int32_t rows[kChunk][kLanes];
  alignas(32) std::int32_t steps[kLanes] = {}, mask[kPairs][kLanes] = {};
  std::size_t rounds = 0;
  for (std::size_t l = 0; l < lanes.size(); ++l) {
    steps[l] = lanes[l].step;
    for (std::size_t m = 0; m < kPairs; ++m) mask[m][l] = static_cast<int>(2 * m) < lanes[l].taps ? -1 : 0;
    rounds = std::max(rounds, lanes[l].n);
  }
  const __m256i step = _mm256_load_si256(reinterpret_cast<const __m256i*>(steps));
  const __m256i both_halves = _mm256_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13, 0, 1, 0, 1, 4, 5, 4,
                                               5, 8, 9, 8, 9, 12, 13, 12, 13);
  __m256i keep[kPairs], pairs[kPairs] = {}, moving = _mm256_setzero_si256(), newest = _mm256_setzero_si256();
  for (std::size_t m = 0; m < kPairs; ++m) keep[m] = _mm256_load_si256(reinterpret_cast<const __m256i*>(mask[m]));
  for (std::size_t base = 0; base < rounds; base += kChunk) {
    const std::size_t length = std::min(kChunk, rounds - base);
    inputs_to_rows(lanes, base, base + length, rows);
    for (std::size_t j = 0; j < length; ++j) {
      const __m256i* dj = d + kBefore + j;
      __m256i products[kPairs];
#pragma GCC unroll 8
      for (std::size_t m = 0; m < kPairs; ++m) {
        const std::ptrdiff_t k = 2 * static_cast<std::ptrdiff_t>(m);
        const __m256i move = _mm256_sign_epi16(moving, dj[-2 - k]);
        pairs[m] = _mm256_add_epi16(pairs[m], Masked ? _mm256_and_si256(move, keep[m]) : move);
        products[m] = _mm256_madd_epi16(pairs[m], m == 0 ? newest : dj[-1 - k]);
      }
      const __m256i prediction = _mm256_srai_epi32(pair_sum<kPairs, Inverse>(products), kLmsShift);
      const __m256i value = _mm256_load_si256(reinterpret_cast<const __m256i*>(rows[j]));
      const __m256i difference = Inverse ? _mm256_add_epi32(value, prediction) : value;
      const __m256i residual = Inverse ? value : _mm256_sub_epi32(value, prediction);
      _mm256_store_si256(reinterpret_cast<__m256i*>(rows[j]), Inverse ? difference : residual);
      newest = _mm256_blend_epi16(difference, _mm256_slli_epi32(newest, 16), 0xAA);
      d[kBefore + j] = newest;
      moving = _mm256_shuffle_epi8(_mm256_sign_epi32(step, residual), both_halves);
    }
    // (forward, the differences were checked before: the residuals may go past the bound)
    if (!rows_to_outputs(lanes, base, base + length, rows, bound) && Inverse) return false;
    std::copy(d + length, d + length + kBefore, d);
  }
  return true;
}

// Eight lanes a call.
template <int Taps, bool Masked, bool Inverse>
bool narrow_of_registers(std::span<const LmsLane> lanes, const std::int32_t* bound) {
  for (std::size_t first = 0; first < lanes.size(); first += kLanes)
    if (!narrow_run<Taps, Masked, Inverse>(lanes.subspan(first, std::min(kLanes, lanes.size() - first)), bound + first))
      return false;
  return true;
}

template <int Taps, bool Inverse>
bool narrow_of_taps(std::span<const LmsLane> lanes, const std::int32_t* bound) {
  const bool masked = std::ranges::any_of(lanes, [](const LmsLane& lane) { return lane.taps != Taps; });
  return (masked ? narrow_of_registers<Taps, true, Inverse> : narrow_of_registers<Taps, false, Inverse>)(lanes, bound);
}

template <bool Inverse>
bool narrow_of(std::span<const LmsLane> lanes, const std::int32_t* bound) {
  int taps = 2;
  for (const LmsLane& lane : lanes) taps = std::max(taps, lane.taps);
  switch (taps) {
    case 2: return narrow_of_taps<2, Inverse>(lanes, bound);
    case 4: return narrow_of_taps<4, Inverse>(lanes, bound);
    case 8: return narrow_of_taps<8, Inverse>(lanes, bound);
    default: return narrow_of_taps<16, Inverse>(lanes, bound);
  }
}

// The largest |d[i]| over i < n (2^31 for INT32_MIN).
[[gnu::target("avx2,fma")]] std::uint32_t largest_magnitude(const std::int32_t* d, std::size_t n) {
  __m256i most = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    most = _mm256_max_epu32(most, _mm256_abs_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i))));
  alignas(32) std::uint32_t lanes[kLanes];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), most);
  std::uint32_t largest = *std::max_element(lanes, lanes + kLanes);
  for (; i < n; ++i) largest = std::max(largest, static_cast<std::uint32_t>(std::abs(std::int64_t{d[i]})));
  return largest;
}

}  // namespace

bool lms_inverse_narrow_avx2(std::span<const LmsLane> lanes) {
  if (lanes.empty() || lanes.size() > 2 * kLanes) return false;
  alignas(32) std::int32_t bound[2 * kLanes] = {};
  for (std::size_t l = 0; l < lanes.size(); ++l) {
    bound[l] = difference_bound(lanes[l]);
    if (bound[l] <= 0 || lanes[l].in == lanes[l].out) return false;
  }
  return narrow_of<true>(lanes, bound);
}

std::size_t lms_forward_narrow_avx2(std::span<const LmsLane> lanes, LmsLane* rest) {
  LmsLane narrow[2 * kLanes];
  alignas(32) std::int32_t bound[2 * kLanes] = {};
  std::size_t count = 0, left = 0;
  for (const LmsLane& lane : lanes) {
    const std::int32_t most = count < 2 * kLanes ? difference_bound(lane) : 0;
    if (most > 0 && largest_magnitude(lane.in, lane.n) <= static_cast<std::uint32_t>(most))
      bound[count] = most, narrow[count++] = lane;
    else
      rest[left++] = lane;
  }
  if (count > 0) narrow_of<false>(std::span(narrow, count), bound);
  return left;
}

}  // namespace quorvel::sequence

#endif
