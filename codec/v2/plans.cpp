// codec/v2/plans.cpp: what each kind of target quantises to, and the canonical codes of a decoded signal.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "codec/v2/cell_filter.hpp"
#include "codec/v2/decoder.hpp"
#include "codec/v2/float_ordinal.hpp"
#include "codec/v2/interpolation.hpp"
#include "codec/v2/encoder_stages.hpp"

namespace quorvel::v2::stages {

namespace {

constexpr double dead_zone = 0.1;

// The first of the grids the samples lie on, coarsest first. A grid they do not lie on shows it within
// the first samples nearly always: those are checked first, and codes for all the samples are made
// (and held) only for a grid that passes.
template <class Grids>
std::optional<Codes> first_grid_on(std::span<const float> y, const Extremes& ex, const Grids& grids,
                                   Known* known) {
  constexpr std::size_t probe = 4096;
  Buffer<std::int32_t> codes(std::min(probe, y.size()));
  for (const std::optional<Grid>& grid : grids) {
    if (!grid) continue;
    if (known != nullptr && *grid == known->grid) {
      return grid_codes(*grid, std::move(known->codes));
    }
    if (!codes_on_grid(y.first(std::min(probe, y.size())), ex.lowest, ex.highest, *grid,
                       std::span(codes).first(std::min(probe, y.size()))))
      continue;
    codes.resize(y.size());
    if (codes_on_grid(y, ex.lowest, ex.highest, *grid, codes)) return grid_codes(*grid, std::move(codes));
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
    std::optional<Grid> operator*() const { return anchored_at(rungs->lowest, rung_step(k)); }
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
std::optional<Codes> keep_on_rungs(std::span<const float> y, const Extremes& ex, double finest,
                                   Known* known) {
  if (auto c = constant(y.size(), ex)) return c;
  return first_grid_on(y, ex, rungs_of(ex, finest / 4, 0x1p-30), known);
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

// The samples exactly as they are, on a grid most of them sit on, the others
// moved there by corrections of their float32 ordinals.
std::optional<Codes> corrected_codes(std::span<const float> y, float lowest, float highest) {
  Codes c{Mode::corrected, {}, Buffer<std::int32_t>(y.size()), Buffer<std::int32_t>(y.size()), {}, {}, {}};
  const auto mostly = detect_mostly_grid(y, lowest, highest, c.codes);
  if (!mostly) return std::nullopt;
  c.grid = mostly->grid;
  for (std::size_t i = 0; i < y.size(); ++i) {
    c.corrections[i] = wrapping_sub(float_ordinal(y[i]), float_ordinal(c.grid.sample(c.codes[i])));
  }
  return c;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> smaller(
    std::expected<std::vector<std::uint8_t>, QuorvelError> a,
    std::expected<std::vector<std::uint8_t>, QuorvelError> b) {
  if (!a || !b) return a ? std::move(b) : std::move(a);
  return b->size() < a->size() ? std::move(b) : std::move(a);
}

// The samples exactly as they are: codes on the grid they sit on, else the
// smaller of their float32 ordinals and a grid most of them sit on with
// corrections. `exact` keeps the sign of zeros too.
std::expected<std::vector<std::uint8_t>, QuorvelError> lossless(const Input& input, Detected& detected,
                                                                bool exact, const Settings& settings) {
  if (detected.grid) {
    Codes c = grid_codes(*detected.grid, std::move(detected.codes));
    return smallest_container(exact ? bit_exact(std::move(c), input.xf) : std::move(c), settings);
  }
  auto container = [&] {
    Codes ordinals{Mode::ordinals, {}, Buffer<std::int32_t>(input.size()), {}, {}, {}, {}};
    for (std::size_t i = 0; i < input.size(); ++i) ordinals.codes[i] = float_ordinal(input.xf[i]);
    return smallest_container(ordinals, settings);
  }();
  if (settings.options.effort == Effort::fast) return container;
  if (auto corrected = corrected_codes(input.xf, input.lowest, input.highest)) {
    return smaller(std::move(container), smallest_container(*corrected, settings));
  }
  return container;
}

// The grid the samples sit on, with their codes; none (and no codes held) when there is none.
Detected detected_grid(const Input& input) {
  Detected detected;
  detected.codes.resize(input.size());
  detected.grid = detect_grid(input.xf, input.lowest, input.highest, detected.codes);
  if (!detected.grid) release(detected.codes);
  return detected;
}

// A quantisation onto a rung: its codes, the samples they decode to and how
// far those lie from the signal.
struct Trial {
  Grid grid;
  Buffer<std::int32_t> codes;
  Buffer<float> y;
  Distortion distortion;

  // The canonical codes of the decoded samples, whose buffer goes as soon as they are found.
  [[nodiscard]] Codes canonical(double finest) && {
    Known known{grid, codes};
    auto kept = keep_on_rungs(y, extremes(y), finest, &known);
    release(y);
    return kept ? std::move(*kept) : grid_codes(grid, std::move(codes));
  }
};

// The quantisers, as quantise(samples, grid, codes, decoded samples); both work on any run of whole
// blocks alone.
constexpr auto plain_quantiser = [](auto x, const Grid& grid, std::span<std::int32_t> codes, std::span<float> y) {
  quantise_to_grid(x, grid, codes, y);
};

auto closed_loop_quantiser(std::size_t block_length) {
  return [block_length](auto x, const Grid& grid, std::span<std::int32_t> codes, std::span<float> y) {
    quantise_closed_loop(x, grid, dead_zone, block_length, codes, y);
  };
}

template <class Quantise>
Trial trial_on(const Input& input, int k, Quantise&& quantise) {
  Trial t{anchored_at(input.lowest, rung_step(k)),
          Buffer<std::int32_t>(input.size()),
          Buffer<float>(input.size()),
          {}};
  on_samples(input, [&](auto x) { quantise(x, t.grid, std::span(t.codes), std::span(t.y)); });
  t.distortion = distortion(input, t.y);
  return t;
}

// What trial_on(input, k, quantise) measures, to the last bit, made a part at a time so that the codes
// and samples of the whole signal are never held: a search needs no more of its trials.
template <class Quantise>
Distortion distortion_on(const Input& input, int k, Quantise&& quantise) {
  constexpr std::size_t part = std::size_t{1} << 16;  // whole blocks of any length, and a multiple of 4
  const Grid grid = anchored_at(input.lowest, rung_step(k));
  Buffer<std::int32_t> codes(std::min(part, input.size()));
  Buffer<float> y(codes.size());
  DistortionSum sum(input.unit);
  on_samples(input, [&](auto x) {
    for (std::size_t start = 0; start < x.size(); start += part) {
      const auto piece = x.subspan(start, std::min(part, x.size() - start));
      const auto decoded = std::span(y).first(piece.size());
      quantise(piece, grid, std::span(codes).first(piece.size()), decoded);
      sum.add(piece, std::span<const float>(decoded));
    }
  });
  return sum.total();
}

Trial plain(const Input& input, int k) { return trial_on(input, k, plain_quantiser); }

Trial closed_loop(const Input& input, int k, std::size_t block_length) {
  return trial_on(input, k, closed_loop_quantiser(block_length));
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

// A signal most of whose samples sit on a grid at least `coarse` may code
// smaller exactly as it is, with corrections for the others (interpolated
// values, glitches), than quantised: the smaller container of the two.
std::expected<std::vector<std::uint8_t>, QuorvelError> or_mostly_on_grid(
    std::expected<std::vector<std::uint8_t>, QuorvelError> quantised, const Input& input, double coarse,
    const Settings& settings) {
  if (!quantised || settings.options.effort == Effort::fast) return quantised;
  const auto corrected = corrected_codes(input.xf, input.lowest, input.highest);
  if (!corrected || corrected->grid.step < coarse) return quantised;
  return smaller(std::move(quantised), smallest_container(*corrected, settings));
}

// ---------------------------------------------------------------- the cell filter

// A signal the cell filter made: its codes on one of the rungs of keep_on_rungs' window (anchored at its
// lowest sample, which code 0 keeps) and the filter that give exactly its samples.
std::optional<Codes> keep_filtered(std::span<const float> y, const Extremes& ex, double finest,
                                   std::size_t block_length) {
  if (ex.lowest == ex.highest) return std::nullopt;
  Buffer<std::int32_t> codes(y.size());
  for (const std::optional<Grid>& grid : rungs_of(ex, finest / 4, 0x1p-30)) {
    if (auto g = filter_of_samples(y, *grid, block_length, codes)) {
      Codes c = grid_codes(*grid, std::move(codes));
      c.filter = g;
      return c;
    }
  }
  return std::nullopt;
}

// What a filtered trial leaves: its grid, samples and distortions (its codes, found again from the
// samples at the end, are not kept).
struct Filtered {
  Grid grid;
  Buffer<float> y;
  Distortion distortion;
  Distortion unfiltered;  // of the quantiser's own samples
};

// A quantiser's codes on rung k, made canonical, through the filter fitted to the signal.
template <class Quantise>
std::optional<Filtered> filtered(const Input& input, int k, double finest, std::size_t block_length,
                                 Quantise&& quantise) {
  Trial trial = quantise(input, k);
  const Distortion unfiltered = trial.distortion;
  Codes c = std::move(trial).canonical(finest);
  if (c.mode != Mode::grid) return std::nullopt;
  const CellFilter g =
      on_samples(input, [&](auto x) { return fit_cell_filter(x, c.grid, c.codes, block_length); });
  if (g == CellFilter{}) return std::nullopt;
  Buffer<float> y(input.size());
  if (!filter_blocks(c.grid, g, c.codes, block_length, y)) return std::nullopt;
  const Distortion d = distortion(input, y);
  return Filtered{c.grid, std::move(y), d, unfiltered};
}

// The filter lets a coarser rung than the quantiser's own meet the target. It takes a near-constant share
// of the quantiser's error from one rung to the next, so the quantiser alone tells which rungs it should
// let meet it (the error need not grow with the step: the search goes on past a few that miss); then, from
// the coarsest of them down, the first whose filtered codes do. The answer is the codes that encoding its
// decoded samples finds, so that encoding them again gives the same container; none when those differ.
template <class Quantise, class Meets>
std::optional<Codes> coarsest_filtered(const Input& input, int from, int top, double natural,
                                       std::size_t block_length, Meets&& meets, Quantise&& quantiser) {
  const auto quantise = [&](const Input& in, int k) { return trial_on(in, k, quantiser); };
  constexpr int patience = 3;
  constexpr double optimism = 0.85;  // the share shrinks a little on coarser rungs
  const double finest = natural / 16;
  std::optional<Filtered> best = filtered(input, from, finest, block_length, quantise);
  if (!best || !(best->unfiltered.sum_squares > 0.0)) return std::nullopt;
  const double share = best->distortion.sum_squares / best->unfiltered.sum_squares;
  int likely = from;
  for (int k = from + 1, misses = 0; k <= top && misses < patience; ++k) {
    Distortion d = distortion_on(input, k, quantiser);
    d.sum_squares *= share * optimism;
    misses = meets(d) ? 0 : misses + 1;
    if (misses == 0) likely = k;
  }
  for (int k = likely; k > from; --k) {
    auto trial = filtered(input, k, finest, block_length, quantise);
    if (trial && meets(trial->distortion)) {
      best = std::move(trial);
      break;
    }
  }
  if (!meets(best->distortion)) return std::nullopt;
  const Extremes ex = extremes(best->y);
  if (keep_on_rungs(best->y, ex, natural, nullptr)) return std::nullopt;
  auto again = keep_filtered(best->y, ex, natural, block_length);
  if (!again || again->grid != best->grid) return std::nullopt;
  return again;
}

// The smaller of `container` and the filtered codes of the plain quantiser (and at best effort the
// closed loop's) from their own rungs.
std::expected<std::vector<std::uint8_t>, QuorvelError> or_filtered(
    std::expected<std::vector<std::uint8_t>, QuorvelError> container, const Input& input, double rmse,
    int plain_rung, std::optional<int> loop_rung, const Settings& settings) {
  const Measure measure{TargetKind::rmse, input.size(), input.signal_sum_squares, input.unit};
  const auto meets = [&](const Distortion& d) { return measure(d) <= rmse; };
  const double natural = std::sqrt(12.0) * rmse;
  const std::size_t block_length = std::size_t{1} << settings.options.block_log2;
  const int top = rungs_of({input.lowest, input.highest}, natural / 16, 0x1p-28).top;
  const auto keep = [&](std::optional<Codes> codes) {
    if (codes) container = smaller(std::move(container), smallest_container(*codes, settings));
  };
  keep(coarsest_filtered(input, plain_rung, top, natural, block_length, meets, plain_quantiser));
  // The closed loop's codes gain about as much from the filter, and cost several times more to make.
  if (loop_rung && settings.options.effort == Effort::best) {
    keep(coarsest_filtered(input, *loop_rung, top, natural, block_length, meets,
                           closed_loop_quantiser(block_length)));
  }
  return container;
}

// ---------------------------------------------------------------- strict bounds for RMSE targets

// The strict bounds an RMSE target tries, as multiples of it, loosest first: a uniform quantiser of
// step 2e errs by e / sqrt(3) in RMSE, and by less where most residuals are 0; e = rmse always meets it.
constexpr std::array<double, 3> rms_bound_factors{1.7320508, 1.4, 1.0};

// What an RMSE target keeps as it is: a signal the lifted coding, a rung, the cell filter or (RMSE, not
// PRD) a strict bound of the target's made, on the bound's grid, on a multiple of the input's grid or by
// the scaled quantiser.
std::optional<Codes> kept_for_rms(std::span<const float> y, const Extremes& ex, double rmse,
                                  const Settings& settings) {
  const double natural = std::sqrt(12.0) * rmse;
  const std::size_t block_length = std::size_t{1} << settings.options.block_log2;
  // A signal the lifted coding made sits on a fine rung too: it is found first, as such.
  const bool fast = settings.options.effort == Effort::fast;
  if (!fast) {
    if (auto kept = keep_lifted(y, ex, rmse, block_length)) return kept;
  }
  // Rungs no finer than natural / 2.2 are kept. The search goes no finer than the rung under natural / 2.08,
  // where even the closed-loop quantiser (which errs by at most 0.6 of a step) meets the target, so every
  // signal it decodes to is kept; counts under a target of about one count are quantised, not kept exactly.
  if (auto kept = keep_on_rungs(y, ex, natural * 4 / 2.2, nullptr)) return kept;
  if (auto kept = keep_filtered(y, ex, natural, block_length)) return kept;
  if (fast || !settings.strict_bounds) return std::nullopt;
  // A grid of the signal's own at least as coarse as the loosest bound's: what a multiple of an input's
  // grid made, or an input whose grid no coarser uniform one would improve on.
  Detected own;
  if (auto kept = keep_for_bound(y, ex, rms_bound_factors[0] * rmse, own, nullptr)) return kept;
  for (const double factor : rms_bound_factors) {
    const double e = factor * rmse;
    if (auto kept = first_grid_on(y, ex, bound_ladder(e, ex.lowest, ex.peak()), nullptr)) return kept;
    if (auto kept = keep_scaled(y, ex, e, block_length)) return kept;
  }
  return std::nullopt;
}

// The smaller of `container` and the max-error container of the loosest of the target's strict bounds
// whose RMSE meets it, where an RMSE target keeps what that decodes to (so that encoding it again comes
// back to it).
std::expected<std::vector<std::uint8_t>, QuorvelError> or_bound(
    std::expected<std::vector<std::uint8_t>, QuorvelError> container, const Input& input, double rmse,
    const Settings& settings) {
  if (!container || settings.options.effort == Effort::fast || !settings.strict_bounds) return container;
  const Measure measure{TargetKind::rmse, input.size(), input.signal_sum_squares, input.unit};
  for (const double factor : rms_bound_factors) {
    const double e = factor * rmse;
    if (e < input.rounding.max_abs) continue;
    auto bound = encode_max_error(input, e, Settings{settings.options, false, false});
    if (!bound) continue;
    Buffer<float> y(input.size());
    if (!decode_into(*bound, 0, y, settings.options.threads)) continue;
    *bound = {};
    // A margin for the final check's own order of summing.
    if (!(measure(distortion(input, y)) <= rmse * (1 - 1e-9))) continue;
    if (auto kept = kept_for_rms(y, extremes(y), rmse, settings)) {
      release(y);
      container = smaller(std::move(container), smallest_container(*kept, settings));
    }
    break;
  }
  return container;
}

}  // namespace

std::optional<Codes> constant(std::size_t n, const Extremes& ex) {
  if (ex.lowest != ex.highest) return std::nullopt;
  return grid_codes(anchored_at(ex.lowest, 1.0), Buffer<std::int32_t>(n, 0));
}

std::optional<Codes> keep_for_bound(std::span<const float> y, const Extremes& ex, double e,
                                    Detected& detected, Known* known) {
  if (auto c = constant(y.size(), ex)) return c;
  if (auto c = first_grid_on(y, ex, bound_ladder(e, ex.lowest, ex.peak()), known)) return c;
  detected.codes.resize(y.size());
  detected.grid = detect_grid(y, ex.lowest, ex.highest, detected.codes);
  if (detected.grid && detected.grid->step >= 2 * e * keep_slack) {
    return grid_codes(*detected.grid, std::move(detected.codes));
  }
  return std::nullopt;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode_max_error(const Input& input, double e,
                                                                        const Settings& given) {
  if (e < input.rounding.max_abs) {
    return std::unexpected(QuorvelError::unreachable({TargetKind::max_error, e}, input.rounding.max_abs));
  }
  Settings settings = given;
  settings.options.lossless = e == 0;
  Detected detected;
  if (auto kept = keep_for_bound(input.xf, input.extremes(), e, detected, nullptr)) {
    return smallest_container(e == 0 ? bit_exact(std::move(*kept), input.xf) : std::move(*kept), settings);
  }
  const std::size_t block_length = std::size_t{1} << settings.options.block_log2;
  if (auto kept = keep_scaled(input.xf, input.extremes(), e, block_length)) return smallest_container(*kept, settings);
  const auto ladder = bound_ladder(e, input.lowest, input.peak());
  if (!ladder[1]) return lossless(input, detected, e == 0, settings);
  if (detected.grid) {
    // Whole multiples of the signal's own grid keep its values exact, but on a smooth signal the scaled
    // quantiser's residuals, mostly 0, may code smaller still. Audio and counts at tighter bounds come
    // out within a few percent on sampled blocks and larger whole: only a clear lead is coded whole.
    if (auto c = on_multiple(input, e, *detected.grid, std::move(detected.codes)))
      return or_scaled(smallest_container(*c, settings), input, e, ladder[1]->step, settings, 0.95);
  }
  Buffer<std::int32_t> codes(input.size());
  Buffer<float> y(input.size());
  on_samples(input, [&](auto x) { quantise_to_grid(x, *ladder[1], std::span(codes), std::span(y)); });
  Known known{*ladder[1], codes};
  Detected unused;
  auto kept = keep_for_bound(y, extremes(y), e, unused, &known);
  auto container =
      smallest_container(kept ? std::move(*kept) : grid_codes(*ladder[1], std::move(codes)), settings);
  container = or_scaled(std::move(container), input, e, ladder[1]->step, settings);
  if (detected.grid) return container;
  return or_mostly_on_grid(std::move(container), input, 2 * e * keep_slack, settings);
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode_rms(const Input& input, double rmse,
                                                                  const Settings& settings) {
  const Measure measure{TargetKind::rmse, input.size(), input.signal_sum_squares, input.unit};
  if (rmse < measure(input.rounding)) {
    return std::unexpected(QuorvelError::unreachable({TargetKind::rmse, rmse}, measure(input.rounding)));
  }
  // Uniform quantisation errs by step / sqrt(12) in RMSE, and never by more
  // than half a step (0.6 with the dead zone): the search starts at the first
  // and needs to go no finer than a sixteenth of it (kept_for_rms says which
  // of its signals are kept as they are).
  const double natural = std::sqrt(12.0) * rmse, finest = natural / 16;
  const std::size_t block_length = std::size_t{1} << settings.options.block_log2;
  if (auto kept = kept_for_rms(input.xf, input.extremes(), rmse, settings)) return smallest_container(*kept, settings);
  Detected detected = detected_grid(input);
  const Rungs window = rungs_of({input.lowest, input.highest}, finest, 0x1p-28);
  // The searches keep no trial (one at a time is what memory allows): the one on the rung they answer
  // is made again.
  const auto meets = [&](const Distortion& d) { return measure(d) <= rmse; };
  const auto found = coarsest_rung(rung_at_most(std::max(natural, rung_step(window.floor))), window.floor,
                                   window.top, [&](int k) { return meets(distortion_on(input, k, plain_quantiser)); });
  if (!found) return lossless(input, detected, false, settings);
  if (detected.grid && detected.grid->step >= rung_step(*found)) {
    return smallest_container(grid_codes(*detected.grid, std::move(detected.codes)), settings);
  }
  release(detected.codes);
  auto container = smallest_container(plain(input, *found).canonical(finest), settings);
  if (!detected.grid) container = or_mostly_on_grid(std::move(container), input, rung_step(*found), settings);
  if (!container || settings.options.effort == Effort::fast) return container;
  const auto loop = coarsest_rung(*found, window.floor, *found,
                                  [&](int k) {
                                    return meets(distortion_on(input, k, closed_loop_quantiser(block_length)));
                                  });
  if (loop) {
    container = smaller(std::move(container),
                        smallest_container(closed_loop(input, *loop, block_length).canonical(finest), settings));
  }
  container = or_filtered(std::move(container), input, rmse, *found, loop, settings);
  return or_bound(or_lifted(std::move(container), input, rmse, settings), input, rmse, settings);
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode_budget(const Input& input, double budget,
                                                                     const Settings& settings) {
  const auto fits = [&](const std::vector<std::uint8_t>& c) {
    return static_cast<double>(c.size()) <= budget;
  };
  // Any rung will do: a signal on one whose container fits is the best answer there is.
  constexpr double any = 0.0;
  if (auto kept = keep_on_rungs(input.xf, input.extremes(), any, nullptr)) {
    auto c = smallest_container(*kept, settings);
    if (!c || fits(*c)) return c;
  }
  // Containers that do not fit are let go at once: the bisection's trials need the room.
  {
    auto exact = [&] {
      Detected detected = detected_grid(input);
      return lossless(input, detected, false, settings);
    }();
    if (!exact || fits(*exact)) return exact;
  }
  const Rungs window = rungs_of({input.lowest, input.highest}, any, 0x1p-28);
  const auto trial = [&](int k) { return smallest_container(plain(input, k).canonical(any), settings); };
  auto coarsest = trial(window.top);
  if (!coarsest) return coarsest;
  if (!fits(*coarsest)) {
    return std::unexpected(
        QuorvelError::unreachable({TargetKind::max_bytes, budget}, static_cast<double>(coarsest->size())));
  }
  // Bisection between a rung that does not fit and one that does.
  int low = window.floor, high = window.top;
  if (auto finest = trial(low); !finest || fits(*finest)) return finest;
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
