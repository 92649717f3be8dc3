// codec/v2/sample_kernels.hpp: the version-2 passes over every sample, portable and AVX2, one table of them
// per tier.
//
// The portable kernels are in sample_kernels.cpp, the AVX2 ones in sample_kernels_avx2.cpp (the integer
// lifting's pair in integer_lifting.cpp, where its steps are). Each AVX2 kernel performs its portable
// twin's very operations in the same order (none fused; only sums that are exact may go in another order),
// four doubles or eight floats at a time, so both give the same doubles and codes; the tests compare them.
// Callers reach either through sample_kernels(), which follows rimble::processor_tier() as the sequence
// coder's kernels do: a test binary that caps that tier caps these kernels too.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "codec/v2/cell_filter.hpp"
#include "codec/v2/grid.hpp"
#include "rimble/processor_tier.hpp"

namespace quorvel::kernels {

// Running figures in four lanes, lane k taking samples 4j + k, so that the
// loops carry no serial dependency and add in a fixed order.
struct Spread {
  double lowest[4], highest[4], squares[4];
};
struct Misfit {
  double largest[4], squares[4];  // of |y - x|, and of (y - x) * unit
};

// Extremes of float32 samples in eight lanes.
struct Range {
  float lowest[8], highest[8];
};

// The lanes over all of y (its size a multiple of 8), from the values they hold.
void range(std::span<const float> y, Range& lanes);
void range_avx2(std::span<const float> y, Range& lanes);

// The lanes over all of x (its size a multiple of 4), from the values they hold.
// T is float or double.
template <class T>
void spread(std::span<const T> x, Spread& lanes);
template <class T>
void spread_avx2(std::span<const T> x, Spread& lanes);
template <class T>
void misfit(std::span<const T> x, std::span<const float> y, double unit, Misfit& lanes);
template <class T>
void misfit_avx2(std::span<const T> x, std::span<const float> y, double unit, Misfit& lanes);

// The index among multiples m of a grid's step of a code, start being offset - (m - 1) / 2
// and inverse 1 / m, exactly in double: (from + 0.5) / m lies 0.5 / m from any integer, far more
// than the reciprocal's rounding moves it, so its floor is the floor division of
// from = code - offset + (m - 1) / 2 by m.
[[nodiscard]] inline std::int32_t floor_index(std::int32_t code, double start, double inverse) {
  const double v = (static_cast<double>(code) - start + 0.5) * inverse;
  double floor = round_even(v);
  floor -= floor > v ? 1.0 : 0.0;
  return static_cast<std::int32_t>(floor);
}

// Every code replaced by its index, in place, and seen[index - low] set to 1
// (every index at least low and inside seen).
void floor_indices(std::span<std::int32_t> codes, double start, double inverse, std::int32_t low,
                   std::span<std::uint8_t> seen);
void floor_indices_avx2(std::span<std::int32_t> codes, double start, double inverse, std::int32_t low,
                        std::span<std::uint8_t> seen);

// The nearest codes of the samples on the coder's grid (which the caller
// knows fit an int32), and whether the grid misses any sample.
bool nearest_codes(std::span<const float> y, const GridCoder& coder, std::span<std::int32_t> codes);
bool nearest_codes_avx2(std::span<const float> y, const GridCoder& coder, std::span<std::int32_t> codes);

// The samples' nearest codes on the grid (saturated to int32, as float64 samples far outside the range
// their float32 values chose the grid by may need) and the grid's samples of them.
template <class T>
void quantise_samples(std::span<const T> x, const Grid& grid, std::span<std::int32_t> codes,
                      std::span<float> y) {
  const GridCoder coder(grid);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double nearest = coder.nearest(static_cast<double>(x[i]));
    const auto code = static_cast<std::int32_t>(nearest < -largest_code ? -largest_code
                                                : largest_code < nearest ? largest_code
                                                                         : nearest);
    codes[i] = code;
    y[i] = grid.sample(code);
  }
}
void quantise(std::span<const float> x, const Grid& grid, std::span<std::int32_t> codes, std::span<float> y);
void quantise_avx2(std::span<const float> x, const Grid& grid, std::span<std::int32_t> codes,
                   std::span<float> y);

// A palette's bitmap (bit v of the words: code low + v is present): the bits set in the words, and each
// code's rank, the bits set below its own (before[w]: those in the words before word w). The AVX2 tier
// counts with the processor's POPCNT, the portable one in software.
[[gnu::always_inline]] inline std::size_t bits_set(std::span<const std::uint64_t> words) {
  std::size_t count = 0;
  for (const std::uint64_t word : words) count += static_cast<std::size_t>(std::popcount(word));
  return count;
}
[[gnu::always_inline]] inline void bitmap_ranks(std::span<const std::int32_t> codes, std::int32_t low,
                                                const std::uint64_t* present, const std::int32_t* before,
                                                std::int32_t* ranks) {
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const auto v = static_cast<std::uint64_t>(std::int64_t{codes[i]} - low);
    const std::uint64_t below = present[v / 64] & ((std::uint64_t{1} << (v % 64)) - 1);
    ranks[i] = before[v / 64] + std::popcount(below);
  }
}
std::size_t count_bits(std::span<const std::uint64_t> words);
std::size_t count_bits_popcnt(std::span<const std::uint64_t> words);
void palette_ranks(std::span<const std::int32_t> codes, std::int32_t low, const std::uint64_t* present,
                   const std::int32_t* before, std::int32_t* ranks);
void palette_ranks_popcnt(std::span<const std::int32_t> codes, std::int32_t low, const std::uint64_t* present,
                          const std::int32_t* before, std::int32_t* ranks);

// The grid's samples of the codes into out, and whether every one is finite.
bool grid_samples(std::span<const std::int32_t> codes, const Grid& grid, float* out);
bool grid_samples_avx2(std::span<const std::int32_t> codes, const Grid& grid, float* out);

// The cell filter's samples (codec/v2/cell_filter.hpp) of codes [from, to) of a block away from its ends (the
// four codes on either side of each exist), into out[from, to); false when one is not finite. The sums are
// exact in doubles, so every order of them gives the same samples.
bool filtered_samples(const std::int32_t* codes, std::size_t from, std::size_t to, const Grid& grid,
                      const CellFilter& g, float* out);
bool filtered_samples_avx2(const std::int32_t* codes, std::size_t from, std::size_t to, const Grid& grid,
                           const CellFilter& g, float* out);

// The cell filter's normal equations in four lanes: for each code, the products of its four second
// differences d[a] with each other (a >= b) and with its target, added up in lane k for codes from + 4j + k,
// a multiplication then an addition each, so that every tier gives the same sums.
struct NormalLanes {
  double m[4][4][4] = {};  // [a][b][lane], a >= b
  double b[4][4] = {};     // [a][lane]
};

// One code's row, its differences d and target, into one lane.
inline void add_row(NormalLanes& lanes, const double (&d)[4], double target, std::size_t lane) {
  for (std::size_t a = 0; a < 4; ++a) {
    lanes.b[a][lane] += d[a] * target;
    for (std::size_t b = 0; b <= a; ++b) lanes.m[a][b][lane] += d[a] * d[b];
  }
}

// The rows of codes [from, to) of a block away from its ends (the four codes on either side of each exist);
// a NaN target leaves its code out.
void normal_rows(const std::int32_t* codes, const double* target, std::size_t from, std::size_t to,
                 NormalLanes& lanes);
void normal_rows_avx2(const std::int32_t* codes, const double* target, std::size_t from, std::size_t to,
                      NormalLanes& lanes);

// The integer 9/7 bands q scaled by their steps and inverse-lifted into codes (codes_of_bands,
// codec/v2/integer_lifting.hpp).
bool lifted_codes(std::span<const std::int32_t> q, std::span<const std::uint32_t> steps, std::span<std::int64_t> codes,
                  std::span<std::int64_t> scratch);
bool lifted_codes_avx2(std::span<const std::int32_t> q, std::span<const std::uint32_t> steps,
                       std::span<std::int64_t> codes, std::span<std::int64_t> scratch);

// The kernels of one tier.
struct SampleKernels {
  void (*range)(std::span<const float> y, Range& lanes);
  void (*spread_f32)(std::span<const float> x, Spread& lanes);
  void (*spread_f64)(std::span<const double> x, Spread& lanes);
  void (*misfit_f32)(std::span<const float> x, std::span<const float> y, double unit, Misfit& lanes);
  void (*misfit_f64)(std::span<const double> x, std::span<const float> y, double unit, Misfit& lanes);
  void (*floor_indices)(std::span<std::int32_t> codes, double start, double inverse, std::int32_t low,
                        std::span<std::uint8_t> seen);
  bool (*nearest_codes)(std::span<const float> y, const GridCoder& coder, std::span<std::int32_t> codes);
  bool (*grid_samples)(std::span<const std::int32_t> codes, const Grid& grid, float* out);
  void (*quantise)(std::span<const float> x, const Grid& grid, std::span<std::int32_t> codes,
                   std::span<float> y);
  std::size_t (*count_bits)(std::span<const std::uint64_t> words);
  void (*palette_ranks)(std::span<const std::int32_t> codes, std::int32_t low, const std::uint64_t* present,
                        const std::int32_t* before, std::int32_t* ranks);
  bool (*filtered_samples)(const std::int32_t* codes, std::size_t from, std::size_t to, const Grid& grid,
                           const CellFilter& g, float* out);
  void (*normal_rows)(const std::int32_t* codes, const double* target, std::size_t from, std::size_t to,
                      NormalLanes& lanes);
  bool (*lifted_codes)(std::span<const std::int32_t> q, std::span<const std::uint32_t> steps,
                       std::span<std::int64_t> codes, std::span<std::int64_t> scratch);

  // spread and misfit of float32 (T = float) or float64 samples.
  template <class T>
  [[nodiscard]] auto spread() const {
    if constexpr (std::is_same_v<T, float>) return spread_f32;
    else return spread_f64;
  }
  template <class T>
  [[nodiscard]] auto misfit() const {
    if constexpr (std::is_same_v<T, float>) return misfit_f32;
    else return misfit_f64;
  }
};

// The table of a tier: AVX2 on rimble's Avx tier and up (x86-64 builds), portable below it and elsewhere.
[[nodiscard]] const SampleKernels& sample_kernels_for(rimble::ProcessorTier tier);

// The table of rimble::processor_tier(), read at each call: an operation takes it once where it starts.
[[nodiscard]] inline const SampleKernels& sample_kernels() { return sample_kernels_for(rimble::processor_tier()); }

}  // namespace quorvel::kernels
