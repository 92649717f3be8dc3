// codec/v2_plans.cpp: what each kind of target quantises to, and the canonical codes of a decoded signal.
#include <algorithm>
#include <bit>
#include <cmath>

#include "codec/float_ordinal.hpp"
#include "codec/interpolation.hpp"
#include "codec/v2_stages.hpp"

// Idempotence rests on one rule: a container is a function of the samples it
// decodes to. Every plan first asks whether the samples may be kept as they
// are (constant; on one of the target's own grids, coarsest first; or, for a
// strict bound, on a grid of their own at least 2e coarse), and if so codes
// them on that grid. A signal the plan quantises lands on one of the target's
// grids, so encoding the decoded signal again keeps it, on the same grid: the
// quantiser passes its result through the same rule before it codes it.

namespace quorvel::v2::stages {

namespace {

constexpr double keep_slack = 1.0 - 0x1p-20;
constexpr double dead_zone = 0.1;

// Grid detection on a signal, kept for the steps that follow.
struct Detected {
  std::optional<Grid> grid;
  std::vector<std::int32_t> codes;
};

// A quantisation's own grid and codes, which the rule need not check again.
struct Known {
  Grid grid;
  std::span<const std::int32_t> codes;
};

std::optional<Codes> constant(std::span<const float> y, const Extremes& ex) {
  if (ex.lowest != ex.highest) return std::nullopt;
  return Codes{Mode::grid, Grid{ex.lowest, 1.0}, std::vector<std::int32_t>(y.size(), 0), {}};
}

// The first of the grids the samples lie on, coarsest first.
template <class Grids>
std::optional<Codes> first_grid_on(std::span<const float> y, const Grids& grids, const Known* known) {
  std::vector<std::int32_t> codes(y.size());
  for (const std::optional<Grid>& grid : grids) {
    if (!grid) continue;
    if (known != nullptr && *grid == known->grid) {
      return Codes{Mode::grid, *grid, std::vector<std::int32_t>(known->codes.begin(), known->codes.end()), {}};
    }
    if (codes_on_grid(y, *grid, codes)) return Codes{Mode::grid, *grid, std::move(codes), {}};
  }
  return std::nullopt;
}

// Kept under a strict bound e: constant, on one of the bound's grids, or on a
// grid of its own at least 2e coarse (no coarser grid meets the bound).
std::optional<Codes> keep_for_bound(std::span<const float> y, double e, Detected& detected, const Known* known) {
  const Extremes ex = extremes(y);
  if (auto c = constant(y, ex)) return c;
  if (auto c = first_grid_on(y, bound_ladder(e, ex.lowest, ex.peak()), known)) return c;
  detected.codes.resize(y.size());
  detected.grid = detect_grid(y, ex.lowest, ex.highest, detected.codes);
  if (detected.grid && detected.grid->step >= 2 * e * keep_slack) {
    return Codes{Mode::grid, *detected.grid, std::move(detected.codes), {}};
  }
  return std::nullopt;
}

// The rungs from one that holds the whole range in a step down to the finest
// one at least `finest` (and 2^-30 of the range, so that codes fit an int32).
struct Rungs {
  float lowest;
  int top, floor;

  struct Iterator {
    const Rungs* rungs;
    int k;
    std::optional<Grid> operator*() const { return Grid{rungs->lowest, rung_step(k)}; }
    Iterator& operator++() {
      --k;
      return *this;
    }
    bool operator!=(const Iterator& other) const { return k != other.k; }
  };
  [[nodiscard]] Iterator begin() const { return {this, top}; }
  [[nodiscard]] Iterator end() const { return {this, std::min(floor, top + 1) - 1}; }
};

Rungs rungs_of(const Extremes& ex, double finest, double reach) {
  const double range = static_cast<double>(ex.highest) - static_cast<double>(ex.lowest);
  return {ex.lowest, rung_at_most(4 * range) + 1, rung_at_most(std::max(finest, range * reach)) + 1};
}

// Kept under a rate-optimised target: constant, or on one of its rungs, from
// the coarsest down to `finest`. Rungs finer than any the target's search may
// choose stay out: every float32 signal sits on the rung of its own last bit.
// The window is wider than the search's (finer by 4, and by 4 again against
// the range), so that a decoded signal whose range or PRD target moved a
// little still finds its rung.
std::optional<Codes> keep_on_rungs(std::span<const float> y, double finest, const Known* known) {
  const Extremes ex = extremes(y);
  if (auto c = constant(y, ex)) return c;
  return first_grid_on(y, rungs_of(ex, finest / 4, 0x1p-30), known);
}

// max_error 0 promises the very bits: a grid turns -0 into +0, so samples
// that are -0 carry a correction.
Codes bit_exact(Codes c, std::span<const float> y) {
  if (c.mode != Mode::grid) return c;
  const auto negative_zero = [](float v) { return std::bit_cast<std::uint32_t>(v) == 0x80000000u; };
  if (std::none_of(y.begin(), y.end(), negative_zero)) return c;
  c.mode = Mode::corrected;
  c.corrections.resize(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) {
    c.corrections[i] = wrapping_sub(float_ordinal(y[i]), float_ordinal(c.grid.sample(c.codes[i])));
  }
  return c;
}

template <class F>
auto on_samples(const Input& input, F&& f) {
  return std::visit(std::forward<F>(f), input.x);
}

// Every m-th point of the grid the samples sit on, m the largest odd number
// whose moves of (m - 1) / 2 points stay within e, when that is at least as
// coarse as 2e; the decoded signal must keep under the bound's rule.
std::optional<Codes> on_multiple(const Input& input, double e, Detected& detected) {
  const Grid grid = *detected.grid;
  const double half_ulp = std::ldexp(1.0, std::max(std::ilogb(input.peak() + e) - 24, -150));
  const double room = e - 2 * half_ulp - input.rounding.max_abs;
  if (!(room > 0)) return std::nullopt;
  const double half = std::floor(room / grid.step);
  if (half < 1 || half > 1e6) return std::nullopt;
  const auto m = static_cast<std::int32_t>(2 * half + 1);
  if (m * grid.step < 2 * e * keep_slack) return std::nullopt;
  const auto offset = static_cast<std::int32_t>(GridCoder(grid).nearest(input.lowest));
  std::vector<float> y(input.size());
  const Distortion d = on_samples(input, [&](auto x) {
    return quantise_to_multiple(x, grid, detected.codes, offset, m, input.unit, y);
  });
  if (!(d.max_abs <= e)) return std::nullopt;
  Detected again;
  return keep_for_bound(y, e, again, nullptr);
}

std::expected<std::vector<std::uint8_t>, AimError> lossless(const Input& input, Detected& detected, bool exact,
                                                            const Settings& settings) {
  Codes c = lossless_codes(input.xf, detected.grid, std::move(detected.codes));
  return smallest_container(exact ? bit_exact(std::move(c), input.xf) : std::move(c), settings);
}

// A quantisation onto a grid, and its canonical codes.
struct Quantised {
  Distortion distortion;
  std::optional<Codes> codes;
};

template <class Quantise>
Quantised quantised_on_rungs(const Input& input, const Grid& grid, double finest, Quantise&& quantise) {
  std::vector<std::int32_t> codes(input.size());
  std::vector<float> y(input.size());
  const Distortion d =
      on_samples(input, [&](auto x) { return quantise(x, std::span<std::int32_t>(codes), std::span<float>(y)); });
  const Known known{grid, codes};
  auto kept = keep_on_rungs(y, finest, &known);
  return {d, kept ? std::move(kept) : Codes{Mode::grid, grid, std::move(codes), {}}};
}

Quantised plain(const Input& input, int k, double finest) {
  const Grid grid{input.lowest, rung_step(k)};
  return quantised_on_rungs(input, grid, finest, [&](auto x, std::span<std::int32_t> codes, std::span<float> y) {
    return quantise_to_grid(x, grid, input.unit, codes, y);
  });
}

Quantised closed_loop(const Input& input, int k, double finest, std::size_t block_length) {
  const Grid grid{input.lowest, rung_step(k)};
  return quantised_on_rungs(input, grid, finest, [&](auto x, std::span<std::int32_t> codes, std::span<float> y) {
    return quantise_closed_loop(x, grid, dead_zone, block_length, input.unit, codes, y);
  });
}

// The coarsest rung in [floor, top] whose trial meets the goal, searched from
// `guess` one rung at a time (the guess is rarely more than a few rungs off).
template <class Meets>
std::optional<int> coarsest_rung(int guess, int floor, int top, Meets&& meets) {
  int k = std::clamp(guess, floor, top);
  if (meets(k)) {
    while (k < top && meets(k + 1)) ++k;
    return k;
  }
  while (k > floor) {
    if (meets(--k)) return k;
  }
  return std::nullopt;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, AimError> encode_max_error(const Input& input, double e,
                                                                   const Settings& settings) {
  if (e < input.rounding.max_abs) {
    return std::unexpected(unreachable({TargetKind::max_error, e}, input.rounding.max_abs));
  }
  Detected detected;
  if (auto kept = keep_for_bound(input.xf, e, detected, nullptr)) {
    return smallest_container(e == 0 ? bit_exact(std::move(*kept), input.xf) : std::move(*kept), settings);
  }
  const auto ladder = bound_ladder(e, input.lowest, input.peak());
  if (!ladder[1]) return lossless(input, detected, e == 0, settings);
  if (detected.grid) {
    if (auto c = on_multiple(input, e, detected)) return smallest_container(*c, settings);
  }
  std::vector<std::int32_t> codes(input.size());
  std::vector<float> y(input.size());
  on_samples(input, [&](auto x) { return quantise_to_grid(x, *ladder[1], input.unit, codes, y); });
  const Known known{*ladder[1], codes};
  Detected unused;
  auto kept = keep_for_bound(y, e, unused, &known);
  return smallest_container(kept ? *kept : Codes{Mode::grid, *ladder[1], std::move(codes), {}}, settings);
}

std::expected<std::vector<std::uint8_t>, AimError> encode_rms(const Input& input, double rmse,
                                                             const Settings& settings) {
  const Measure measure{TargetKind::rmse, input.size(), input.signal_sum_squares, input.unit};
  if (rmse < measure(input.rounding)) {
    return std::unexpected(unreachable({TargetKind::rmse, rmse}, measure(input.rounding)));
  }
  // Uniform quantisation errs by step / sqrt(12) in RMSE, and never by more
  // than half a step (0.6 with the dead zone): the search starts at the first
  // and needs to go no finer than a sixteenth of it.
  const double natural = std::sqrt(12.0) * rmse, finest = natural / 16;
  if (auto kept = keep_on_rungs(input.xf, finest, nullptr)) return smallest_container(*kept, settings);
  Detected detected;
  detected.codes.resize(input.size());
  detected.grid = detect_grid(input.xf, input.lowest, input.highest, detected.codes);
  const Rungs window = rungs_of({input.lowest, input.highest}, finest, 0x1p-28);
  const auto meets = [&](const Quantised& q) { return measure(q.distortion) <= rmse; };
  const auto found = coarsest_rung(rung_at_most(std::max(natural, rung_step(window.floor))), window.floor, window.top,
                                   [&](int k) { return meets(plain(input, k, finest)); });
  if (!found) return lossless(input, detected, false, settings);
  if (detected.grid && detected.grid->step >= rung_step(*found)) {
    return smallest_container(Codes{Mode::grid, *detected.grid, std::move(detected.codes), {}}, settings);
  }
  auto container = smallest_container(*plain(input, *found, finest).codes, settings);
  if (!container || settings.options.effort == Effort::fast) return container;
  const std::size_t block_length = std::size_t{1} << settings.options.block_log2;
  const auto loop = coarsest_rung(*found, window.floor, *found, [&](int k) {
    return meets(closed_loop(input, k, finest, block_length));
  });
  if (!loop) return container;
  auto other = smallest_container(*closed_loop(input, *loop, finest, block_length).codes, settings);
  if (other && other->size() < container->size()) return other;
  return container;
}

std::expected<std::vector<std::uint8_t>, AimError> encode_budget(const Input& input, double budget,
                                                                const Settings& settings) {
  const auto fits = [&](const std::vector<std::uint8_t>& c) { return static_cast<double>(c.size()) <= budget; };
  // Any rung will do: a signal on one whose container fits is the best answer there is.
  constexpr double any = 0.0;
  if (auto kept = keep_on_rungs(input.xf, any, nullptr)) {
    auto c = smallest_container(*kept, settings);
    if (!c || fits(*c)) return c;
  }
  Detected detected;
  detected.codes.resize(input.size());
  detected.grid = detect_grid(input.xf, input.lowest, input.highest, detected.codes);
  auto exact = lossless(input, detected, false, settings);
  if (!exact || fits(*exact)) return exact;
  const Rungs window = rungs_of({input.lowest, input.highest}, any, 0x1p-28);
  const auto trial = [&](int k) { return smallest_container(*plain(input, k, any).codes, settings); };
  auto coarsest = trial(window.top);
  if (!coarsest) return coarsest;
  if (!fits(*coarsest)) {
    return std::unexpected(unreachable({TargetKind::max_bytes, budget}, static_cast<double>(coarsest->size())));
  }
  // Bisection between a rung that does not fit and one that does.
  int low = window.floor, high = window.top;
  auto finest = trial(low);
  if (!finest || fits(*finest)) return finest;
  while (high - low > 1) {
    const int middle = low + (high - low) / 2;
    auto c = trial(middle);
    if (!c) return c;
    if (fits(*c)) {
      high = middle;
      coarsest = std::move(c);
    } else {
      low = middle;
    }
  }
  return coarsest;
}

}  // namespace quorvel::v2::stages
