// codec/v2/grid.cpp: grid codes, and grid detection from the float32 rounding interval of each value.
#include "codec/v2/grid.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>

#include "codec/v2/float_ordinal.hpp"
#include "codec/v2/sample_kernels.hpp"

namespace quorvel {

namespace {

std::vector<double> sampled(std::span<const float> y, float lowest, float highest) {
  return detection_sample(y.size(), [y](std::size_t i) { return y[i]; }, lowest, highest);
}

std::vector<double> sampled_values(std::span<const float> y, float lowest, float highest) {
  return distinct_values(sampled(y, lowest, highest));
}

// The smallest gap carries float32 noise, too much to round offsets a thousand
// steps away: fit the step on the offsets within 16 steps, then 128, and so
// on, refitting each time. Offsets are sorted, so each reach is a prefix.
double refined_step(std::span<const double> offsets, double guess) {
  for (double reach = 16.0;; reach *= 8.0) {
    double cross = 0.0, square = 0.0;
    std::size_t near = 0;
    for (; near < offsets.size() && offsets[near] <= reach * guess; ++near) {
      const double index = std::rint(offsets[near] / guess);
      cross += index * offsets[near];
      square += index * index;
    }
    if (square > 0.0) guess = cross / square;
    if (near == offsets.size()) return guess;
  }
}

// The interval of reals that round to each value in float32.
struct Rounding {
  std::vector<double> low, high;
};

Rounding rounding_intervals(std::span<const double> values) {
  Rounding r{std::vector<double>(values.size()), std::vector<double>(values.size())};
  constexpr float inf = std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto f = static_cast<float>(values[i]);
    r.low[i] = (values[i] + static_cast<double>(std::nextafter(f, -inf))) / 2;
    r.high[i] = (values[i] + static_cast<double>(std::nextafter(f, inf))) / 2;
  }
  return r;
}

// Decimal data and PCM sit on multiples of their step, zero included: each
// value bounds the step to an interval, and the simplest step in all of them
// reproduces every value.
std::optional<Grid> zero_anchored(std::span<const double> values, const Rounding& r, double guess) {
  double lowest = 0.0, highest = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double j = std::rint(values[i] / guess);
    if (std::fabs(values[i] / guess - j) > 0.1 || std::fabs(j) > 1073741824.0) return std::nullopt;
    if (j == 0.0) continue;
    const double a = r.low[i] / j, b = r.high[i] / j;
    lowest = std::max(lowest, std::min(a, b));
    highest = std::min(highest, std::max(a, b));
  }
  if (!(lowest > 0.0 && lowest <= highest && highest < std::numeric_limits<double>::infinity()))
    return std::nullopt;
  return Grid{0.0, simplest_between(lowest, highest)};
}

// A grid with an origin of its own (EDF: physical minimum + gain * digital
// value): the room left for the origin inside every value's rounding interval
// is a concave function of the step; a ternary search finds its top, and the
// origin is the middle of that room.
std::optional<Grid> anchored(std::span<const double> values, const Rounding& r, double guess) {
  std::vector<double> index(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) index[i] = std::rint((values[i] - values[0]) / guess);
  const auto room = [&](double step) {
    double lowest = -std::numeric_limits<double>::infinity(),
           highest = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < values.size(); ++i) {
      lowest = std::max(lowest, r.low[i] - step * index[i]);
      highest = std::min(highest, r.high[i] - step * index[i]);
    }
    return std::pair{lowest, highest};
  };
  double a = guess * (1 - 1e-3), b = guess * (1 + 1e-3);
  for (int round = 0; round < 100 && a < b; ++round) {
    const double m1 = a + (b - a) / 3, m2 = b - (b - a) / 3;
    const auto r1 = room(m1), r2 = room(m2);
    if (r1.second - r1.first < r2.second - r2.first) {
      a = m1;
    } else {
      b = m2;
    }
  }
  const double step = a + (b - a) / 2;
  const auto [lowest, highest] = room(step);
  if (!(lowest <= highest)) return std::nullopt;
  return Grid{lowest + (highest - lowest) / 2, step};
}

bool reproduces(const Grid& grid, std::span<const double> values) {
  const GridCoder coder(grid);
  for (const double v : values) {
    const double k = coder.nearest(v);
    if (!(std::fabs(k) <= largest_code) ||
        static_cast<double>(grid.sample(static_cast<std::int64_t>(k))) != v) {
      return false;
    }
  }
  return true;
}

// The samples the grid misses, at most `limit` of them.
std::vector<double> missed_values(std::span<const float> y, const Grid& grid, std::size_t limit) {
  std::vector<double> missed;
  const GridCoder coder(grid);
  for (std::size_t i = 0; i < y.size() && missed.size() < limit; ++i) {
    const double k = coder.nearest(y[i]);
    if (!(std::fabs(k) <= largest_code) || grid.sample(static_cast<std::int64_t>(k)) != y[i])
      missed.push_back(y[i]);
  }
  return missed;
}

// The gap between neighbouring values that occurs most often, to three
// significant digits (float32 noise in the gaps goes).
double commonest_gap(std::span<const double> values) {
  std::vector<double> gaps;
  gaps.reserve(values.size());
  for (std::size_t i = 1; i < values.size(); ++i) {
    const double gap = values[i] - values[i - 1];
    const double scale = std::pow(10.0, std::floor(std::log10(gap)) - 2);
    gaps.push_back(std::round(gap / scale) * scale);
  }
  std::sort(gaps.begin(), gaps.end());
  double best = 0.0;
  std::size_t best_count = 0;
  for (std::size_t i = 0; i < gaps.size();) {
    std::size_t j = i;
    while (j < gaps.size() && gaps[j] == gaps[i]) ++j;
    if (j - i > best_count) best = gaps[i], best_count = j - i;
    i = j;
  }
  return best;
}

// Nearest codes of every sample, and how many the grid does not reproduce.
std::size_t nearest_codes(std::span<const float> y, const Grid& grid, std::span<std::int32_t> codes) {
  const GridCoder coder(grid);
  std::size_t misses = 0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double k = std::clamp(coder.nearest(y[i]), -largest_code, largest_code);
    codes[i] = static_cast<std::int32_t>(k);
    misses += grid.sample(codes[i]) != y[i];
  }
  return misses;
}

}  // namespace

namespace {

// Float32 values sorted by their ordinals (the order of their values, -0 just below +0): four passes of a
// radix sort over a byte each, several times faster than comparisons on a detection sample.
std::vector<double> sorted_floats(std::span<const double> values) {
  std::vector<std::uint32_t> keys(values.size()), other(values.size());
  for (std::size_t i = 0; i < values.size(); ++i)
    keys[i] = static_cast<std::uint32_t>(float_ordinal(static_cast<float>(values[i]))) ^ 0x80000000u;
  for (int shift = 0; shift < 32; shift += 8) {
    std::array<std::size_t, 257> start{};
    for (const std::uint32_t k : keys) ++start[((k >> shift) & 0xFF) + 1];
    for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    for (const std::uint32_t k : keys) other[start[(k >> shift) & 0xFF]++] = k;
    keys.swap(other);
  }
  std::vector<double> out(values.size());
  for (std::size_t i = 0; i < keys.size(); ++i)
    out[i] = from_float_ordinal(static_cast<std::int32_t>(keys[i] ^ 0x80000000u));
  return out;
}

}  // namespace

std::vector<double> distinct_values(std::vector<double> values) {
  const bool floats = std::ranges::all_of(values, [](double v) { return static_cast<double>(static_cast<float>(v)) == v; });
  if (floats) {
    values = sorted_floats(values);
  } else {
    std::sort(values.begin(), values.end());
  }
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

double simplest_between(double low, double high) {
  const double middle = low + (high - low) / 2;
  int exponent = 0;
  const double mantissa = std::frexp(middle, &exponent);
  for (int bits = 1; bits <= 53; ++bits) {
    const double candidate = std::ldexp(std::nearbyint(std::ldexp(mantissa, bits)), exponent - bits);
    if (candidate >= low && candidate <= high) return candidate;
  }
  return middle;
}

bool codes_on_grid(std::span<const float> y, float lowest, float highest, const Grid& grid,
                   std::span<std::int32_t> codes) {
  const GridCoder coder(grid);
  // Codes grow with the values: when the extremes' codes fit an int32, every
  // code does, and the loop converts without a check.
  if (!(std::fabs(coder.nearest(lowest)) <= largest_code &&
        std::fabs(coder.nearest(highest)) <= largest_code)) {
    return false;
  }
  // Chunks without an exit inside vectorise; a sample off the grid ends the
  // check at the end of its chunk, which starts small so that most signals
  // not on the grid are told apart at once.
  const auto nearest = kernels::sample_kernels().nearest_codes;
  for (std::size_t start = 0, chunk = 16; start < y.size();
       start += chunk, chunk = std::min<std::size_t>(2 * chunk, 1024)) {
    const std::size_t n = std::min(y.size() - start, chunk);
    if (nearest(y.subspan(start, n), coder, codes.subspan(start, n))) return false;
  }
  return true;
}

std::optional<Grid> grid_of_values(std::span<const double> values) {
  if (values.size() < 2) return std::nullopt;
  double smallest = std::numeric_limits<double>::infinity();
  for (std::size_t i = 1; i < values.size(); ++i) smallest = std::min(smallest, values[i] - values[i - 1]);
  // Finer than float32 itself over the range: no grid worth coding on.
  if (!(smallest > 0.0) || (values.back() - values.front()) / smallest > 16777216.0) return std::nullopt;
  std::vector<double> offsets(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) offsets[i] = values[i] - values[0];
  double guess = 0.0;
  bool found = false;
  for (int divisor = 1; divisor <= 5 && !found; ++divisor) {
    guess = refined_step(offsets, smallest / divisor);
    found = true;
    for (const double offset : offsets)
      found = found && std::fabs(offset / guess - std::rint(offset / guess)) < 0.01;
  }
  if (!found || !(guess > 0.0)) return std::nullopt;
  const Rounding r = rounding_intervals(values);
  // In turn: the anchored search costs a hundred passes over the values, only where zero does not anchor them.
  for (const auto grid_of : {zero_anchored, anchored}) {
    if (auto grid = grid_of(values, r, guess); grid && reproduces(*grid, values)) return grid;
  }
  return std::nullopt;
}

std::optional<Grid> detect_grid(std::span<const float> y, float lowest, float highest,
                                std::span<std::int32_t> codes) {
  if (!(lowest < highest)) return std::nullopt;
  std::vector<double> values = sampled_values(y, lowest, highest);
  auto grid = grid_of_values(values);
  if (!grid) return std::nullopt;
  if (codes_on_grid(y, lowest, highest, *grid, codes)) return grid;
  if (values.size() >= y.size()) return std::nullopt;
  // The sample may have missed the values that pin the step: once more with
  // some of the samples this grid misses.
  const std::vector<double> missed = missed_values(y, *grid, detection_run);
  values.insert(values.end(), missed.begin(), missed.end());
  grid = grid_of_values(distinct_values(std::move(values)));
  if (grid && codes_on_grid(y, lowest, highest, *grid, codes)) return grid;
  return std::nullopt;
}

std::optional<MostlyGrid> detect_mostly_grid(std::span<const float> y, float lowest, float highest,
                                             std::span<std::int32_t> codes) {
  if (!(lowest < highest)) return std::nullopt;
  const std::vector<double> sample = sampled(y, lowest, highest);
  const std::vector<double> values = distinct_values(sample);
  if (values.size() < 3) return std::nullopt;
  const double step = commonest_gap(values);
  if (!(step > 0.0)) return std::nullopt;
  const auto near = [step](double v) { return std::fabs(v / step - std::rint(v / step)) < 1e-3; };
  const auto on = static_cast<std::size_t>(std::count_if(sample.begin(), sample.end(), near));
  if (on < sample.size() - sample.size() / 20) return std::nullopt;
  std::vector<double> kept;
  std::copy_if(values.begin(), values.end(), std::back_inserter(kept), near);
  const auto grid = grid_of_values(kept);
  if (!grid) return std::nullopt;
  const std::size_t misses = nearest_codes(y, *grid, codes);
  if (misses > y.size() / 20) return std::nullopt;
  return MostlyGrid{*grid, misses};
}

}  // namespace quorvel
