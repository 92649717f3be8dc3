// codec/v2/sample_kernels_avx2.cpp: the AVX2 kernels of the passes over every sample (only these use AVX2),
// built for x86-64 only.
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include <immintrin.h>

#include <limits>

#include "codec/v2/sample_kernels.hpp"

namespace quorvel::kernels {

namespace {

[[gnu::target("avx2,fma")]] __m256d load4(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
[[gnu::target("avx2,fma")]] __m256d load4(const double* p) { return _mm256_loadu_pd(p); }

// round_even's two additions.
[[gnu::target("avx2,fma")]] __m256d round_even4(__m256d v) {
  const __m256d shifter = _mm256_set1_pd(6755399441055744.0);
  return _mm256_sub_pd(_mm256_add_pd(v, shifter), shifter);
}

// MINPD and MAXPD give their first operand when it is strictly beyond the second,
// the second otherwise: the portable loops' v < low ? v : low.
template <class T>
[[gnu::target("avx2,fma")]] void spread_lanes(std::span<const T> x, Spread& lanes) {
  __m256d low = _mm256_loadu_pd(lanes.lowest), high = _mm256_loadu_pd(lanes.highest),
          squares = _mm256_loadu_pd(lanes.squares);
  for (std::size_t i = 0; i < x.size(); i += 4) {
    const __m256d v = load4(x.data() + i);
    low = _mm256_min_pd(v, low);
    high = _mm256_max_pd(v, high);
    squares = _mm256_add_pd(squares, _mm256_mul_pd(v, v));
  }
  _mm256_storeu_pd(lanes.lowest, low);
  _mm256_storeu_pd(lanes.highest, high);
  _mm256_storeu_pd(lanes.squares, squares);
}

template <class T>
[[gnu::target("avx2,fma")]] void misfit_lanes(std::span<const T> x, std::span<const float> y, double unit,
                                              Misfit& lanes) {
  const __m256d sign = _mm256_set1_pd(-0.0), scale = _mm256_set1_pd(unit);
  __m256d largest = _mm256_loadu_pd(lanes.largest), squares = _mm256_loadu_pd(lanes.squares);
  for (std::size_t i = 0; i < x.size(); i += 4) {
    const __m256d e = _mm256_sub_pd(load4(y.data() + i), load4(x.data() + i));
    largest = _mm256_max_pd(_mm256_andnot_pd(sign, e), largest);
    const __m256d scaled = _mm256_mul_pd(e, scale);
    squares = _mm256_add_pd(squares, _mm256_mul_pd(scaled, scaled));
  }
  _mm256_storeu_pd(lanes.largest, largest);
  _mm256_storeu_pd(lanes.squares, squares);
}

}  // namespace

[[gnu::target("avx2,fma")]] void range_avx2(std::span<const float> y, Range& lanes) {
  __m256 low = _mm256_loadu_ps(lanes.lowest), high = _mm256_loadu_ps(lanes.highest);
  for (std::size_t i = 0; i < y.size(); i += 8) {
    const __m256 v = _mm256_loadu_ps(y.data() + i);
    low = _mm256_min_ps(v, low);
    high = _mm256_max_ps(v, high);
  }
  _mm256_storeu_ps(lanes.lowest, low);
  _mm256_storeu_ps(lanes.highest, high);
}

// (The target attribute stays on the loops above: a template declared without it is another function.)
template <class T>
void spread_avx2(std::span<const T> x, Spread& lanes) {
  spread_lanes(x, lanes);
}
template <class T>
void misfit_avx2(std::span<const T> x, std::span<const float> y, double unit, Misfit& lanes) {
  misfit_lanes(x, y, unit, lanes);
}
template void spread_avx2(std::span<const float>, Spread&);
template void spread_avx2(std::span<const double>, Spread&);
template void misfit_avx2(std::span<const float>, std::span<const float>, double, Misfit&);
template void misfit_avx2(std::span<const double>, std::span<const float>, double, Misfit&);

// floor_index of four codes.
[[gnu::target("avx2,fma")]] inline __m128i floor_index4(__m128i code, __m256d from, __m256d half, __m256d scale) {
  const __m256d v = _mm256_mul_pd(_mm256_add_pd(_mm256_sub_pd(_mm256_cvtepi32_pd(code), from), half), scale);
  return _mm256_cvttpd_epi32(_mm256_round_pd(v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
}

[[gnu::target("avx2,fma")]] void floor_indices_avx2(std::span<std::int32_t> codes, double start,
                                                    double inverse, std::int32_t low,
                                                    std::span<std::uint8_t> seen) {
  const __m256d from = _mm256_set1_pd(start), half = _mm256_set1_pd(0.5), scale = _mm256_set1_pd(inverse);
  const __m256i base = _mm256_set1_epi32(low);
  std::uint8_t* const mark = seen.data();
  const std::size_t whole = codes.size() / 8 * 8;
  for (std::size_t i = 0; i < whole; i += 8) {
    auto* at = reinterpret_cast<__m256i*>(codes.data() + i);
    const __m256i code = _mm256_loadu_si256(at);
    const __m256i q = _mm256_set_m128i(floor_index4(_mm256_extracti128_si256(code, 1), from, half, scale),
                                       floor_index4(_mm256_castsi256_si128(code), from, half, scale));
    _mm256_storeu_si256(at, q);
    // The marks from memory: eight extractions would cost more than the store and loads.
    alignas(32) std::uint32_t j[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(j), _mm256_sub_epi32(q, base));
    for (const std::uint32_t k : j) mark[k] = 1;
  }
  floor_indices(codes.subspan(whole), start, inverse, low, seen);
}

[[gnu::target("avx2,fma")]] bool nearest_codes_avx2(std::span<const float> y, const GridCoder& coder,
                                     std::span<std::int32_t> codes) {
  const Grid& grid = coder.grid();
  const __m256d origin = _mm256_set1_pd(grid.origin), step = _mm256_set1_pd(grid.step),
                inverse = _mm256_set1_pd(1.0 / grid.step);
  const std::size_t whole = y.size() / 4 * 4;
  int off = 0;
  for (std::size_t i = 0; i < whole; i += 4) {
    const __m128 value = _mm_loadu_ps(y.data() + i);
    const __m256d k = round_even4(_mm256_mul_pd(_mm256_sub_pd(_mm256_cvtps_pd(value), origin), inverse));
    const __m128i code = _mm256_cvttpd_epi32(k);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(codes.data() + i), code);
    const __m128 sample =
        _mm256_cvtpd_ps(_mm256_add_pd(origin, _mm256_mul_pd(step, _mm256_cvtepi32_pd(code))));
    off |= _mm_movemask_ps(_mm_cmp_ps(sample, value, _CMP_NEQ_UQ));
  }
  return nearest_codes(y.subspan(whole), coder, codes.subspan(whole)) || off != 0;
}

[[gnu::target("avx2,fma")]] bool grid_samples_avx2(std::span<const std::int32_t> codes, const Grid& grid, float* out) {
  const __m256d origin = _mm256_set1_pd(grid.origin), step = _mm256_set1_pd(grid.step);
  const __m128 largest = _mm_set1_ps(std::numeric_limits<float>::max());
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const std::size_t whole = codes.size() / 4 * 4;
  int bad = 0;
  for (std::size_t i = 0; i < whole; i += 4) {
    const __m128i code = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes.data() + i));
    const __m128 sample = _mm256_cvtpd_ps(_mm256_add_pd(origin, _mm256_mul_pd(step, _mm256_cvtepi32_pd(code))));
    _mm_storeu_ps(out + i, sample);
    bad |= _mm_movemask_ps(_mm_cmp_ps(_mm_and_ps(sample, magnitude), largest, _CMP_NLE_UQ));
  }
  return grid_samples(codes.subspan(whole), grid, out + whole) && bad == 0;
}

[[gnu::target("avx2,fma")]] void quantise_avx2(std::span<const float> x, const Grid& grid,
                                               std::span<std::int32_t> codes, std::span<float> y) {
  const __m256d origin = _mm256_set1_pd(grid.origin), step = _mm256_set1_pd(grid.step),
                inverse = _mm256_set1_pd(1.0 / grid.step);
  const __m256d highest = _mm256_set1_pd(largest_code), lowest = _mm256_set1_pd(-largest_code);
  const std::size_t whole = x.size() / 4 * 4;
  for (std::size_t i = 0; i < whole; i += 4) {
    const __m256d k = round_even4(_mm256_mul_pd(_mm256_sub_pd(load4(x.data() + i), origin), inverse));
    // (MAXPD and MINPD give the sample's own k unless it is beyond the bound, as the portable test does)
    const __m128i code = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(k, lowest), highest));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(codes.data() + i), code);
    const __m256d sample = _mm256_add_pd(origin, _mm256_mul_pd(step, _mm256_cvtepi32_pd(code)));
    _mm_storeu_ps(y.data() + i, _mm256_cvtpd_ps(sample));
  }
  quantise(x.subspan(whole), grid, codes.subspan(whole), y.subspan(whole));
}

// The palette's bit counts with POPCNT, which every processor of the AVX2 tier has.
[[gnu::target("popcnt")]] std::size_t count_bits_popcnt(std::span<const std::uint64_t> words) {
  return bits_set(words);
}

[[gnu::target("popcnt")]] void palette_ranks_popcnt(std::span<const std::int32_t> codes, std::int32_t low,
                                                    const std::uint64_t* present, const std::int32_t* before,
                                                    std::int32_t* ranks) {
  bitmap_ranks(codes, low, present, before, ranks);
}

namespace {

[[gnu::target("avx2,fma")]] __m256d codes4(const std::int32_t* p) {
  return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

}  // namespace

[[gnu::target("avx2,fma")]] bool filtered_samples_avx2(const std::int32_t* codes, std::size_t from, std::size_t to,
                                                       const Grid& grid, const CellFilter& g, float* out) {
  const __m256d origin = _mm256_set1_pd(grid.origin), fine = _mm256_set1_pd(grid.step / 1024.0);
  const __m256d limit = _mm256_set1_pd(511.0), scale = _mm256_set1_pd(1024.0), zero = _mm256_setzero_pd();
  const __m256d weight[4] = {_mm256_set1_pd(g[0]), _mm256_set1_pd(g[1]), _mm256_set1_pd(g[2]), _mm256_set1_pd(g[3])};
  const __m128 largest = _mm_set1_ps(std::numeric_limits<float>::max());
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  int bad = 0;
  std::size_t i = from;
  for (; i + 4 <= to; i += 4) {
    const __m256d c0 = codes4(codes + i), twice = _mm256_add_pd(c0, c0);
    __m256d s = zero;
    for (std::size_t j = 1; j <= 4; ++j)
      s = _mm256_add_pd(s, _mm256_mul_pd(weight[j - 1], _mm256_sub_pd(_mm256_add_pd(codes4(codes + i - j), codes4(codes + i + j)), twice)));
    const __m256d clamped = _mm256_min_pd(limit, _mm256_max_pd(_mm256_sub_pd(zero, limit), s));
    const __m256d t = _mm256_andnot_pd(_mm256_cmp_pd(c0, zero, _CMP_EQ_OQ), clamped);
    const __m128 sample = _mm256_cvtpd_ps(_mm256_add_pd(origin, _mm256_mul_pd(fine, _mm256_add_pd(_mm256_mul_pd(scale, c0), t))));
    _mm_storeu_ps(out + i, sample);
    bad |= _mm_movemask_ps(_mm_cmp_ps(_mm_and_ps(sample, magnitude), largest, _CMP_NLE_UQ));
  }
  return filtered_samples(codes, i, to, grid, g, out) && bad == 0;
}

[[gnu::target("avx2,fma")]] void normal_rows_avx2(const std::int32_t* codes, const double* target, std::size_t from,
                                                  std::size_t to, NormalLanes& lanes) {
  __m256d m[4][4], b[4];
  for (std::size_t a = 0; a < 4; ++a) {
    b[a] = _mm256_loadu_pd(lanes.b[a]);
    for (std::size_t c = 0; c <= a; ++c) m[a][c] = _mm256_loadu_pd(lanes.m[a][c]);
  }
  std::size_t i = from;
  for (; i + 4 <= to; i += 4) {
    // A left-out code adds products of zeros: +0, which leaves every sum as it is.
    const __m256d t = _mm256_loadu_pd(target + i), keep = _mm256_cmp_pd(t, t, _CMP_ORD_Q);
    const __m256d c0 = codes4(codes + i), twice = _mm256_add_pd(c0, c0);
    __m256d d[4];
    for (std::size_t j = 1; j <= 4; ++j)
      d[j - 1] = _mm256_and_pd(keep, _mm256_sub_pd(_mm256_add_pd(codes4(codes + i - j), codes4(codes + i + j)), twice));
    const __m256d kept = _mm256_and_pd(keep, t);
    for (std::size_t a = 0; a < 4; ++a) {
      b[a] = _mm256_add_pd(b[a], _mm256_mul_pd(d[a], kept));
      for (std::size_t c = 0; c <= a; ++c) m[a][c] = _mm256_add_pd(m[a][c], _mm256_mul_pd(d[a], d[c]));
    }
  }
  for (std::size_t a = 0; a < 4; ++a) {
    _mm256_storeu_pd(lanes.b[a], b[a]);
    for (std::size_t c = 0; c <= a; ++c) _mm256_storeu_pd(lanes.m[a][c], m[a][c]);
  }
  normal_rows(codes, target, i, to, lanes);
}

}  // namespace quorvel::kernels

#endif
