// codec/v2/cell_filter.hpp: a smoothing filter on grid codes whose samples stay inside their codes' cells.
//
// A grid quantiser's error fills each sample's cell evenly and is white: on an oversampled signal most of it
// lies above the signal's band, so an estimate from the neighbouring codes lands nearer the input than the
// grid point does, and a coarser grid meets the same RMSE. The decoder adds to each code c[i] of a block a
// correction t[i] in 1/1024 of a step,
//   t[i] = clamp(sum over j = 1..4 of g[j] (c[i - j] + c[i + j] - 2 c[i]), -511, 511), 0 where c[i] is 0,
// in 64-bit integers, with the codes mirrored at the block's ends (c[-j] = c[j], c[n - 1 + j] = c[n - 1 - j],
// then held at the ends), and the sample is float32(origin + step / 1024 * (1024 c[i] + t[i])), the
// product and the sum in double. The clamp keeps every sample strictly inside its cell, so the nearest codes
// of the samples are the codes again; code 0 keeps its grid point, so that a signal whose lowest code is 0
// decodes with its origin as its lowest sample; and where float32 holds the samples exactly, they show their
// corrections, from which the filter is found again. The filter is for rate-optimised targets: a sample may
// lie almost a step from the input.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/v2/grid.hpp"

namespace quorvel {

inline constexpr int cell_filter_taps = 4;
using CellFilter = std::array<std::int16_t, cell_filter_taps>;  // g[1..4]

// The largest correction, in 1/1024 of a step: strictly inside the cell.
inline constexpr std::int64_t largest_correction = 511;

// A code's sample with its correction t (in 1/1024 of a step: fine = step / 1024, exact).
[[nodiscard]] inline float cell_sample(const Grid& grid, double fine, double code, double t) {
  return static_cast<float>(grid.origin + fine * (1024.0 * code + t));
}

// The samples of one block's codes through the filter; false when one is not finite.
[[nodiscard]] bool filter_block(const Grid& grid, const CellFilter& g, std::span<const std::int32_t> codes,
                                float* out);

// The samples of a signal's codes, block after block of `block_length`; false when one is not finite.
[[nodiscard]] bool filter_blocks(const Grid& grid, const CellFilter& g, std::span<const std::int32_t> codes,
                                 std::size_t block_length, std::span<float> out);

// The filter whose samples lie nearest the signal x in the least-squares sense (ignoring the clamp), for
// codes on the grid in blocks of `block_length`. Zeros when nothing is to be gained.
template <class T>
[[nodiscard]] CellFilter fit_cell_filter(std::span<const T> x, const Grid& grid, std::span<const std::int32_t> codes,
                                         std::size_t block_length);

// The filter that gives exactly these samples from their nearest codes on the grid (which fill `codes`),
// if there is one; found by least squares from the corrections the samples show, and checked on all of
// them (a grid the samples were not made on fails at one of the first few).
[[nodiscard]] std::optional<CellFilter> filter_of_samples(std::span<const float> y, const Grid& grid,
                                                          std::size_t block_length, std::span<std::int32_t> codes);

}  // namespace quorvel
