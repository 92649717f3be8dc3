// codec/v2/quantiser.cpp: the quantisers' loops, and the two step ladders.
#include "codec/v2/quantiser.hpp"

#include <algorithm>
#include <cmath>

#include "codec/v2/interpolation.hpp"
#include "codec/v2/sample_kernels.hpp"

namespace quorvel {

namespace {

// float32(2^(i/16)) for i = 0..15.
constexpr std::array<float, 16> rung_mantissas{
    1.0f,        1.04427373f, 1.09050775f, 1.13878858f, 1.18920708f, 1.24185777f, 1.29683959f, 1.35425556f,
    1.41421354f, 1.47682619f, 1.54221082f, 1.61049032f, 1.68179286f, 1.75625217f, 1.8340081f,  1.91520655f};

// The largest float32 <= v, for v > 0.
float float_at_most(double v) {
  float f = static_cast<float>(v);
  if (static_cast<double>(f) > v) f = std::nextafter(f, 0.0f);
  return f;
}

// sign(d) * floor(|d| + 0.5 - dead_zone): rounding to nearest with a wider zero.
std::int64_t dead_zone_round(double d, double dead_zone) {
  // Capped at 2^31: the caller saturates the code to int32 anyway.
  const double magnitude = std::min(std::floor(std::fabs(d) + 0.5 - dead_zone), 0x1p31);
  if (!(magnitude > 0.0)) return 0;
  const auto r = static_cast<std::int64_t>(magnitude);
  return d < 0 ? -r : r;
}

}  // namespace

std::array<std::optional<Grid>, 3> bound_ladder(double e, float lowest, double peak) {
  std::array<std::optional<Grid>, 3> ladder;
  const double top = peak + e;
  const int middle = std::max(std::ilogb(top) - 24, -150);
  for (int i = 0; i < 3; ++i) {
    // Half a unit in the last place of any float32 below 2^(middle + 25),
    // with room for the roundings of double.
    const double half_ulp = std::ldexp(1.0, middle - 1 + i);
    const double wanted = 2.0 * (e - half_ulp * (1.0 + 0x1p-20));
    if (!(wanted > 0.0)) continue;
    const double step = float_at_most(wanted);
    if (!(step > 0.0) || 2.0 * top / step > 0x1p30) continue;
    ladder[static_cast<std::size_t>(i)] = anchored_at(lowest, step);
  }
  return ladder;
}

double rung_step(int k) {
  const int binade = k >= 0 ? k / 16 : -((-k + 15) / 16);
  const int index = k - 16 * binade;
  return static_cast<double>(std::ldexp(rung_mantissas[static_cast<std::size_t>(index)], binade));
}

int rung_at_most(double step) {
  // Zero, NaN and steps beyond the ladder's ends take its end rungs: the
  // guess below only converts logarithms that fit an int.
  if (!(step > rung_step(lowest_rung))) return lowest_rung;
  if (step >= rung_step(highest_rung)) return highest_rung;
  int k = std::clamp(static_cast<int>(std::floor(16.0 * std::log2(step))), lowest_rung, highest_rung);
  while (k > lowest_rung && rung_step(k) > step) --k;
  while (k < highest_rung && rung_step(k + 1) <= step) ++k;
  return k;
}

template <class T>
void quantise_to_grid(std::span<const T> x, const Grid& grid, std::span<std::int32_t> codes, std::span<float> y) {
  // Float64 samples may lie far outside the range of their float32 values
  // that chose the grid: such codes saturate, and the trial measures the miss.
  if constexpr (std::is_same_v<T, float>) {
    kernels::sample_kernels().quantise(x, grid, codes, y);
  } else {
    kernels::quantise_samples(x, grid, codes, y);
  }
}

template <class T>
void quantise_closed_loop(std::span<const T> x, const Grid& grid, double dead_zone, std::size_t block_length,
                          std::span<std::int32_t> codes, std::span<float> y) {
  const double inverse = 1.0 / grid.step;
  for (std::size_t start = 0; start < x.size(); start += block_length) {
    const std::size_t n = std::min(block_length, x.size() - start);
    const auto block = codes.subspan(start, n);
    for_each_in_levels(n, [&](std::size_t i, std::size_t stride) {
      const std::int64_t prediction = interpolated(block, i, stride);
      const double d =
          (static_cast<double>(x[start + i]) - grid.origin) * inverse - static_cast<double>(prediction);
      const auto code = static_cast<std::int32_t>(
          std::clamp<std::int64_t>(prediction + dead_zone_round(d, dead_zone), INT32_MIN, INT32_MAX));
      block[i] = code;
      y[start + i] = grid.sample(code);
    });
  }
}

namespace {

// One block in coding order; false at the first code that leaves int32 or that keep(i, sample) refuses.
template <class T, class Keep>
bool scaled_block(std::span<const T> x, const Grid& fine, std::int64_t multiplier, Spline spline,
                  std::span<std::int32_t> codes, Keep&& keep) {
  const double inverse = 1.0 / fine.step, per_multiplier = 1.0 / static_cast<double>(multiplier);
  bool ok = true;
  for_each_in_levels(x.size(), [&](std::size_t i, std::size_t stride) {
    if (!ok) return;
    const std::int64_t prediction = interpolated(codes, i, stride, spline);
    const double residual = round_even(
        ((static_cast<double>(x[i]) - fine.origin) * inverse - static_cast<double>(prediction)) * per_multiplier);
    if (!(std::fabs(residual) <= largest_code)) {
      ok = false;
      return;
    }
    const std::int64_t code = prediction + multiplier * static_cast<std::int64_t>(residual);
    ok = code >= INT32_MIN && code <= INT32_MAX && keep(i, fine.sample(code));
    codes[i] = static_cast<std::int32_t>(code);
  });
  return ok;
}

}  // namespace

template <class T>
bool quantise_scaled(std::span<const T> x, const Grid& fine, std::int64_t multiplier, double bound,
                     std::size_t block_length, std::span<std::int32_t> codes, std::span<float> y, Spline spline) {
  for (std::size_t start = 0; start < x.size(); start += block_length) {
    const std::size_t n = std::min(block_length, x.size() - start);
    const auto block = x.subspan(start, n);
    const auto keep = [&](std::size_t i, float sample) {
      y[start + i] = sample;
      return std::fabs(static_cast<double>(block[i]) - static_cast<double>(sample)) <= bound;
    };
    if (!scaled_block(block, fine, multiplier, spline, codes.subspan(start, n), keep)) return false;
  }
  return true;
}

bool scaled_reproduces(std::span<const float> y, const Grid& fine, std::int64_t multiplier, std::size_t block_length,
                       std::span<std::int32_t> codes, Spline spline) {
  for (std::size_t start = 0; start < y.size(); start += block_length) {
    const std::size_t n = std::min(block_length, y.size() - start);
    const auto block = y.subspan(start, n);
    const auto same = [&](std::size_t i, float sample) { return sample == block[i]; };
    if (!scaled_block(block, fine, multiplier, spline, codes.subspan(start, n), same)) return false;
  }
  return true;
}

template bool quantise_scaled(std::span<const float>, const Grid&, std::int64_t, double, std::size_t,
                              std::span<std::int32_t>, std::span<float>, Spline);
template bool quantise_scaled(std::span<const double>, const Grid&, std::int64_t, double, std::size_t,
                              std::span<std::int32_t>, std::span<float>, Spline);
template void quantise_to_grid(std::span<const float>, const Grid&, std::span<std::int32_t>, std::span<float>);
template void quantise_to_grid(std::span<const double>, const Grid&, std::span<std::int32_t>, std::span<float>);
template void quantise_closed_loop(std::span<const float>, const Grid&, double, std::size_t, std::span<std::int32_t>,
                                   std::span<float>);
template void quantise_closed_loop(std::span<const double>, const Grid&, double, std::size_t, std::span<std::int32_t>,
                                   std::span<float>);

}  // namespace quorvel
