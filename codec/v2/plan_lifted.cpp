// codec/v2/plan_lifted.cpp: the lifted coding's plan: the integer 9/7 bands of codes on a fine rung, quantised
// with a step per band, and the canonical form of a signal it made.
//
// Coarse quantisation in the signal domain puts its error where the signal is; quantising the bands of
// a wavelet transform instead spreads it by the bands' gains, which for smooth signals at coarse RMSE
// targets codes smaller. The samples are codes c on a fine zero-anchored rung g (at most rmse / 32, so
// that g itself costs little of the target) and c is the inverse lifting of the bands' integers times
// their steps: a decoded signal gives c back exactly, and the forward lifting of c gives the bands
// again, each a multiple of its step. That is what keep_lifted finds, and the encoder writes what it
// finds on its own output, so that encoding a decoded signal again gives the same container.
#include <cmath>
#include <numeric>

#include "codec/v2/integer_lifting.hpp"
#include "codec/v2/decoder.hpp"
#include "codec/v2/encoder_stages.hpp"

namespace quorvel::v2::stages {

namespace {

constexpr unsigned lifted_levels = 8;  // the most the layout allows; 6 to 8 code smallest on ECG, speech, EEG
constexpr double lifted_dead_zone = 0.1;
constexpr std::size_t shortest_lifted = 256;  // shorter signals gain nothing, and show too few bands
constexpr int rung_window = 2;                // rungs around the fine rung a decoded signal is looked for on
constexpr std::int64_t largest_lifted_code = std::int64_t{1} << 30;

// (finer than rmse / 8 lets the band steps come nearer their ideal: 0.2 % smaller on the RMSE points measured;
// the gain ends by rmse / 32)
int fine_rung(double rmse) { return rung_at_most(rmse / 32); }

// Calls f(band values, step index) for each band of each block of v.
template <class T, class F>
void for_each_band(std::span<T> v, std::size_t block_length, F&& f) {
  for (std::size_t start = 0; start < v.size(); start += block_length) {
    const auto block = v.subspan(start, std::min(block_length, v.size() - start));
    const Bands bands = bands_of(block.size(), lifted_levels);
    for (unsigned b = 0; b < bands.count; ++b) {
      f(block.subspan(bands.start[b], bands.start[b + 1] - bands.start[b]), bands.step[b]);
    }
  }
}

bool forward_blocks(std::span<std::int64_t> v, std::size_t block_length) {
  Buffer<std::int64_t> scratch(std::min(block_length, v.size()));
  for (std::size_t start = 0; start < v.size(); start += block_length) {
    const std::size_t n = std::min(block_length, v.size() - start);
    if (!forward_lifting<std::int64_t>(v.subspan(start, n), lifted_levels, std::span(scratch).first(n)))
      return false;
  }
  return true;
}

// The canonical bands of codes on a rung: each band's step the greatest common divisor of its values (1
// for a band of zeros); none unless every band not all zero has a step of 2 or more, as a signal the
// coding made shows and one it did not (all but surely) does not.
std::optional<Codes> lifted_form(std::span<const std::int32_t> codes, const Grid& grid,
                                 std::size_t block_length) {
  Buffer<std::int64_t> w(codes.size());
  std::copy(codes.begin(), codes.end(), w.begin());
  if (!forward_blocks(w, block_length)) return std::nullopt;
  std::vector<std::uint64_t> divisor(lifted_levels + 1, 0);
  for_each_band(std::span(w), block_length, [&](std::span<std::int64_t> band, unsigned s) {
    for (const std::int64_t v : band) {
      divisor[s] = std::gcd(divisor[s], static_cast<std::uint64_t>(std::abs(v)));
    }
  });
  Codes c{Mode::lifted, grid, Buffer<std::int32_t>(codes.size()), {}, {}, {}, {}};
  for (const std::uint64_t d : divisor) {
    if (d == 1 || d > 0x7FFFFFFF) return std::nullopt;
    c.band_steps.push_back(d == 0 ? 1u : static_cast<std::uint32_t>(d));
  }
  for_each_band(std::span(w), block_length, [&](std::span<std::int64_t> band, unsigned s) {
    for (std::int64_t& v : band) v /= c.band_steps[s];
  });
  for (std::size_t i = 0; i < w.size(); ++i) {
    if (w[i] != static_cast<std::int32_t>(w[i])) return std::nullopt;
    c.codes[i] = static_cast<std::int32_t>(w[i]);
  }
  return c;
}

// The energy a unit value in each band gives the samples, from one impulse in the middle of a band of a
// block of n samples (the bands' gains hardly depend on where the impulse lies away from the ends).
std::vector<double> band_gains(std::size_t n) {
  const Bands bands = bands_of(n, lifted_levels);
  std::vector<double> gains(lifted_levels + 1, 1.0), probe(n), scratch(n);
  for (unsigned b = 0; b < bands.count; ++b) {
    std::fill(probe.begin(), probe.end(), 0.0);
    probe[(bands.start[b] + bands.start[b + 1]) / 2] = 1.0;
    if (!inverse_lifting<double>(probe, lifted_levels, scratch)) continue;
    gains[bands.step[b]] = std::inner_product(probe.begin(), probe.end(), probe.begin(), 0.0);
  }
  return gains;
}

// The bands of the signal's codes quantised with a step each, and the samples they decode to.
struct LiftedTrial {
  std::vector<std::uint32_t> steps;
  Buffer<std::int32_t> q;
  Buffer<float> y;
  Distortion distortion;
};

// Trials of one signal's bands: each for a delta, the error each band's step gives the samples.
class LiftedSearch {
 public:
  LiftedSearch(const Input& input, Grid grid, Buffer<std::int64_t> bands, std::size_t block_length)
      : input_(input),
        grid_(grid),
        bands_(std::move(bands)),
        block_length_(block_length),
        gains_(band_gains(std::min(block_length, input.size()))) {}

  // False where a band integer or the lifting leaves its range, or a sample is not finite.
  bool run(double delta, LiftedTrial& t) const {
    t.steps.clear();
    for (const double gain : gains_) {
      const double step = std::round(delta / std::sqrt(gain) / grid_.step);
      t.steps.push_back(static_cast<std::uint32_t>(std::clamp(step, 1.0, 0x1p30)));
    }
    t.q.resize(input_.size());
    t.y.resize(input_.size());
    if (!quantise(t.steps, t.q) || !decode(t)) return false;
    t.distortion = distortion(input_, t.y);
    return true;
  }

 private:
  // Rounding to nearest with a dead zone, which zeroes the many small details of a smooth signal.
  bool quantise(std::span<const std::uint32_t> steps, std::span<std::int32_t> q) const {
    constexpr double largest = 0x1p30;
    bool fits = true;
    std::size_t at = 0;
    const auto quantise_band = [&](std::span<const std::int64_t> band, unsigned s) {
      const double inverse = 1.0 / steps[s];
      for (const std::int64_t v : band) {
        const double r = static_cast<double>(v) * inverse;
        // Truncation floors the magnitude, which is never negative.
        const double magnitude = std::min(std::fabs(r) + (0.5 - lifted_dead_zone), largest);
        fits &= magnitude < largest;
        const auto m = static_cast<std::int32_t>(magnitude);
        q[at++] = r < 0 ? -m : m;
      }
    };
    for_each_band(std::span<const std::int64_t>(bands_), block_length_, quantise_band);
    return fits;
  }

  // As the decoder does it.
  bool decode(LiftedTrial& t) const {
    const std::size_t n = input_.size();
    Buffer<std::int64_t> codes(std::min(block_length_, n)), scratch(codes.size());
    for (std::size_t start = 0; start < n; start += block_length_) {
      const std::size_t m = std::min(block_length_, n - start);
      if (!lifted_samples(std::span<const std::int32_t>(t.q).subspan(start, m), t.steps, grid_,
                          std::span(codes).first(m), std::span(scratch).first(m), t.y.data() + start))
        return false;
    }
    return true;
  }

  const Input& input_;
  Grid grid_;
  Buffer<std::int64_t> bands_;
  std::size_t block_length_;
  std::vector<double> gains_;
};

// The bands of the signal's nearest codes on a zero-anchored rung; none where a code or band leaves
// its range.
std::optional<Buffer<std::int64_t>> bands_on(const Input& input, const Grid& grid, std::size_t block_length) {
  Buffer<std::int64_t> w(input.size());
  const double inverse = 1.0 / grid.step;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const double c = round_even(static_cast<double>(input.xf[i]) * inverse);
    if (!(std::fabs(c) <= static_cast<double>(largest_lifted_code))) return std::nullopt;
    w[i] = static_cast<std::int64_t>(c);
  }
  if (!forward_blocks(w, block_length)) return std::nullopt;
  return w;
}

}  // namespace

std::optional<Codes> keep_lifted(std::span<const float> y, const Extremes& ex, double rmse,
                                 std::size_t block_length) {
  const int k = fine_rung(rmse);
  if (y.size() < shortest_lifted || ex.lowest == ex.highest || k - rung_window < lowest_rung ||
      k + rung_window > highest_rung) {
    return std::nullopt;
  }
  Buffer<std::int32_t> codes(y.size());
  for (int rung = k + rung_window; rung >= k - rung_window; --rung) {
    const Grid grid{0.0, rung_step(rung)};
    if (!codes_on_grid(y, ex.lowest, ex.highest, grid, codes)) continue;
    if (auto c = lifted_form(codes, grid, block_length)) return c;
  }
  return std::nullopt;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> or_lifted(
    std::expected<std::vector<std::uint8_t>, QuorvelError> container, const Input& input, double rmse,
    const Settings& settings) {
  const int k = fine_rung(rmse);
  if (!container || settings.options.effort == Effort::fast || input.size() < shortest_lifted ||
      k - rung_window < lowest_rung || k + rung_window > highest_rung) {
    return container;
  }
  const std::size_t block_length = std::size_t{1} << settings.options.block_log2;
  const Grid grid{0.0, rung_step(k)};
  auto bands = bands_on(input, grid, block_length);
  if (!bands) return container;
  const LiftedSearch search(input, grid, std::move(*bands), block_length);
  const Measure measure{TargetKind::rmse, input.size(), input.signal_sum_squares, input.unit};
  // Bisection on the logarithm of delta, keeping the coarsest trial that meets the target. Delta ends
  // between 3 and 7 times the target on the signals measured; 12 halvings of [1, 16] leave it within
  // 0.07 %.
  LiftedTrial trial, met;
  bool any = false;
  double low = std::log(rmse), high = std::log(16 * rmse);
  for (int i = 0; i < 12; ++i) {
    const double middle = 0.5 * (low + high);
    if (search.run(std::exp(middle), trial) && measure(trial.distortion) <= rmse) {
      low = middle;
      std::swap(met, trial);
      any = true;
    } else {
      high = middle;
    }
  }
  if (!any) return container;
  auto canonical = keep_lifted(met.y, extremes(met.y), rmse, block_length);
  if (!canonical) return container;
  auto lifted = smallest_container(*canonical, settings);
  if (!lifted || lifted->size() >= container->size()) return container;
  return lifted;
}

}  // namespace quorvel::v2::stages
