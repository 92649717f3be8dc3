// codec/v2/plan_multiple.cpp: samples moved to every m-th point of their own grid, and the canonical codes of the
// result found from the values present rather than from every sample.
#include <algorithm>
#include <cmath>

#include "codec/v2/sample_kernels.hpp"
#include "codec/v2/encoder_stages.hpp"

// A signal on a grid (an ADC's step, PCM, decimal data) quantised to
// multiples of that step decodes to a few hundred or thousand distinct
// values, and the rule that makes its codes canonical (keep_for_bound) asks
// only which grids reproduce those values. So the samples are never written
// out: each becomes the index q of its multiple, the values present are
// marked, and the rule's checks run on the values, with the sample of values
// grid detection would take from the decoded signal. The answer equals
// keep_for_bound's on the decoded samples, which a second encode computes;
// where the shortcut cannot tell (a detection that needs its second try),
// the samples are written out and the rule itself decides.

namespace quorvel {

namespace v2::stages {

namespace {

// The multiples: index q covers the m codes from start + m q and stands for their middle, the code
// offset + m q of the grid when m is odd, halfway between two codes when m is even. Either way no code
// is more than (m - 1) / 2 steps from it, so every m of a bound counts, not only the odd ones.
struct Multiples {
  Grid grid;
  std::int32_t offset;
  std::int32_t m;

  [[nodiscard]] float value(std::int32_t q) const {
    const double middle = start + static_cast<double>(m) * static_cast<double>(q) + 0.5 * static_cast<double>(m - 1);
    return static_cast<float>(grid.origin + grid.step * middle);
  }

  [[nodiscard]] std::int32_t index(std::int32_t code) const {
    return kernels::floor_index(code, start, inverse);
  }

  double start = static_cast<double>(offset) - static_cast<double>((m - 1) / 2);
  double inverse = 1.0 / static_cast<double>(m);
};

// The codes replaced by their indices, and the sorted indices present. Codes
// grow with the samples, and indices with the codes: every index lies between
// those of the extremes' codes. Pieces small enough to stay in the first-level
// cache are converted and marked.
std::vector<std::int32_t> to_indices(std::span<std::int32_t> codes, const Multiples& to, std::int32_t low,
                                     std::int32_t high) {
  const auto floor_indices = kernels::sample_kernels().floor_indices;
  std::vector<std::uint8_t> seen(static_cast<std::size_t>(std::int64_t{high} - low) + 1, 0);
  constexpr std::size_t piece = 2048;
  for (std::size_t start = 0; start < codes.size(); start += piece) {
    const auto part = codes.subspan(start, std::min(piece, codes.size() - start));
    floor_indices(part, to.start, to.inverse, low, seen);
  }
  std::vector<std::int32_t> levels;
  for (std::size_t j = 0; j < seen.size(); ++j) {
    if (seen[j]) levels.push_back(static_cast<std::int32_t>(low + static_cast<std::int64_t>(j)));
  }
  return levels;
}

// Whether `grid` reproduces the value of every index present, and if so
// whether its codes are the indices plus a constant (then that constant).
struct Reproduction {
  bool all = false;
  std::optional<std::int64_t> shift;
};

Reproduction on(const Grid& grid, const Multiples& to, std::span<const std::int32_t> levels) {
  const GridCoder coder(grid);
  Reproduction r{true, std::nullopt};
  bool affine = true;
  for (const std::int32_t q : levels) {
    const float v = to.value(q);
    const double k = coder.nearest(v);
    if (!(std::fabs(k) <= largest_code) || grid.sample(static_cast<std::int64_t>(k)) != v) return {};
    const std::int64_t s = static_cast<std::int64_t>(k) - q;
    affine = affine && (!r.shift || *r.shift == s);
    r.shift = s;
  }
  if (!affine) r.shift.reset();
  return r;
}

// The distinct values of the sample grid detection would take from the
// written-out samples, extremes included, in order without a sort: the values
// grow with the indices, so equal ones are neighbours.
std::vector<double> sampled_values(std::span<const std::int32_t> q, const Multiples& to,
                                   std::span<const std::int32_t> levels) {
  const std::int32_t low = levels.front();
  std::vector<std::uint8_t> picked(static_cast<std::size_t>(std::int64_t{levels.back()} - low) + 1, 0);
  for_each_detection_position(q.size(),
                              [&](std::size_t i) { picked[static_cast<std::size_t>(q[i] - low)] = 1; });
  picked.front() = picked.back() = 1;
  std::vector<double> values;
  for (std::size_t j = 0; j < picked.size(); ++j) {
    if (!picked[j]) continue;
    const double v = to.value(static_cast<std::int32_t>(low + static_cast<std::int64_t>(j)));
    if (values.empty() || v != values.back()) values.push_back(v);
  }
  return values;
}

// The indices plus a constant, in place, with the distinct codes they make.
Codes shifted(const Grid& grid, Buffer<std::int32_t> q, std::span<const std::int32_t> levels,
              std::int64_t shift) {
  const auto s = static_cast<std::int32_t>(shift);
  if (s != 0) {
    for (std::int32_t& v : q) v += s;
  }
  Codes c{Mode::grid, grid, std::move(q), {}, std::vector<std::int32_t>(levels.size()), {}, {}};
  std::transform(levels.begin(), levels.end(), c.distinct.begin(), [s](std::int32_t v) { return v + s; });
  return c;
}

// The samples written out and the rule itself.
std::optional<Codes> keep_written_out(std::span<const std::int32_t> q, const Multiples& to,
                                      const Extremes& ex, double e) {
  Buffer<float> y(q.size());
  for (std::size_t i = 0; i < q.size(); ++i) y[i] = to.value(q[i]);
  Detected unused;
  return keep_for_bound(y, ex, e, unused, nullptr);
}

}  // namespace

std::optional<Codes> on_multiple(const Input& input, double e, const Grid& grid, Buffer<std::int32_t> codes) {
  const double half_ulp = std::ldexp(1.0, std::max(std::ilogb(input.peak() + e) - 24, -150));
  const double room = e - 2 * half_ulp - input.rounding.max_abs;
  if (!(room > 0)) return std::nullopt;
  const double widths = std::floor(2 * room / grid.step);
  if (widths < 1 || widths > 2e6) return std::nullopt;
  const auto m = static_cast<std::int32_t>(widths + 1);
  if (m * grid.step < 2 * e * keep_slack) return std::nullopt;
  const GridCoder coder(grid);
  const Multiples to{grid, static_cast<std::int32_t>(coder.nearest(input.lowest)), m};
  const auto highest = static_cast<std::int32_t>(coder.nearest(input.highest));
  Buffer<std::int32_t> q = std::move(codes);
  const std::vector<std::int32_t> levels = to_indices(q, to, to.index(to.offset), to.index(highest));
  const Extremes ex{to.value(levels.front()), to.value(levels.back())};
  // keep_for_bound's steps, on the values present; codes other than the
  // indices shifted leave it to keep_for_bound itself.
  if (auto c = constant(q.size(), ex)) return c;
  for (const auto& rung : bound_ladder(e, ex.lowest, ex.peak())) {
    if (!rung) continue;
    const Reproduction r = on(*rung, to, levels);
    if (r.all && r.shift) return shifted(*rung, std::move(q), levels, *r.shift);
    if (r.all) return keep_written_out(q, to, ex, e);
  }
  const auto own = grid_of_values(sampled_values(q, to, levels));
  if (!own) return std::nullopt;
  const Reproduction r = on(*own, to, levels);
  if (!r.all || !r.shift) return keep_written_out(q, to, ex, e);
  if (own->step < 2 * e * keep_slack) return std::nullopt;
  return shifted(*own, std::move(q), levels, *r.shift);
}

}  // namespace v2::stages

}  // namespace quorvel
