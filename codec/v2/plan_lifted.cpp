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

// The blocks' lifted bands one block at a time: visit(block start, its bands) after the forward lifting
// of each block that make(block start, block) fills; false when make or the lifting fails. Only one
// block's integers are held, never the whole signal's (twice its size).
template <class Make, class Visit>
bool for_each_lifted_block(std::size_t n, std::size_t block_length, Make&& make, Visit&& visit) {
  Buffer<std::int64_t> block(std::min(block_length, n)), scratch(block.size());
  for (std::size_t start = 0; start < n; start += block_length) {
    const auto w = std::span(block).first(std::min(block_length, n - start));
    if (!make(start, w) || !forward_lifting<std::int64_t>(w, lifted_levels, std::span(scratch).first(w.size())))
      return false;
    if (!visit(start, w)) return false;
  }
  return true;
}

// The canonical bands of codes on a rung: each band's step the greatest common divisor of its values (1
// for a band of zeros); none unless every band not all zero has a step of 2 or more, as a signal the
// coding made shows and one it did not (all but surely) does not. The band integers replace the codes.
std::optional<Codes> lifted_form(Buffer<std::int32_t>& codes, const Grid& grid, std::size_t block_length) {
  const auto load = [&](std::size_t start, std::span<std::int64_t> w) {
    std::copy_n(codes.begin() + static_cast<std::ptrdiff_t>(start), w.size(), w.begin());
    return true;
  };
  std::vector<std::uint64_t> divisor(lifted_levels + 1, 0);
  const bool lifted = for_each_lifted_block(codes.size(), block_length, load, [&](std::size_t, auto w) {
    for_each_band(w, block_length, [&](std::span<std::int64_t> band, unsigned s) {
      for (const std::int64_t v : band) divisor[s] = std::gcd(divisor[s], static_cast<std::uint64_t>(std::abs(v)));
    });
    return true;
  });
  if (!lifted) return std::nullopt;
  std::vector<std::uint32_t> steps;
  for (const std::uint64_t d : divisor) {
    if (d == 1 || d > 0x7FFFFFFF) return std::nullopt;
    steps.push_back(d == 0 ? 1u : static_cast<std::uint32_t>(d));
  }
  // The second pass lifts each block again before its codes make way for its band integers.
  const bool fits = for_each_lifted_block(codes.size(), block_length, load, [&](std::size_t start, auto w) {
    for_each_band(w, block_length, [&](std::span<std::int64_t> band, unsigned s) {
      for (std::int64_t& v : band) v /= steps[s];
    });
    for (std::size_t i = 0; i < w.size(); ++i) {
      if (w[i] != static_cast<std::int32_t>(w[i])) return false;
      codes[start + i] = static_cast<std::int32_t>(w[i]);
    }
    return true;
  });
  if (!fits) return std::nullopt;
  Codes c{Mode::lifted, grid, std::move(codes), {}, {}, {}, {}};
  c.band_steps = std::move(steps);
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
  Buffer<float> y;
  Distortion distortion;
};

// Trials of one signal's bands: each for a delta, the error each band's step gives the samples. Each
// trial lifts the signal's nearest codes on the rung again, a block at a time, and holds only its
// samples besides one block.
class LiftedSearch {
 public:
  LiftedSearch(const Input& input, Grid grid, std::size_t block_length)
      : input_(input),
        grid_(grid),
        block_length_(block_length),
        gains_(band_gains(std::min(block_length, input.size()))) {}

  // False where a code, a band integer or the lifting leaves its range, or a sample is not finite.
  bool run(double delta, LiftedTrial& t) const {
    t.steps.clear();
    for (const double gain : gains_) {
      const double step = std::round(delta / std::sqrt(gain) / grid_.step);
      t.steps.push_back(static_cast<std::uint32_t>(std::clamp(step, 1.0, 0x1p30)));
    }
    t.y.resize(input_.size());
    Buffer<std::int32_t> q(std::min(block_length_, input_.size()));
    Buffer<std::int64_t> scratch(q.size());
    const auto make = [this](std::size_t start, std::span<std::int64_t> w) { return nearest_codes(start, w); };
    const bool decoded = for_each_lifted_block(input_.size(), block_length_, make, [&](std::size_t start, auto w) {
      // As the decoder does it, into the block's own integers once they are quantised.
      const auto block = std::span(q).first(w.size());
      return quantise(t.steps, w, block) &&
             lifted_samples(block, t.steps, grid_, w, std::span(scratch).first(w.size()), t.y.data() + start);
    });
    if (!decoded) return false;
    t.distortion = distortion(input_, t.y);
    return true;
  }

 private:
  // The signal's nearest codes on the rung from `start`; false where one leaves its range.
  bool nearest_codes(std::size_t start, std::span<std::int64_t> w) const {
    const double inverse = 1.0 / grid_.step;
    for (std::size_t i = 0; i < w.size(); ++i) {
      const double c = round_even(static_cast<double>(input_.xf[start + i]) * inverse);
      if (!(std::fabs(c) <= static_cast<double>(largest_lifted_code))) return false;
      w[i] = static_cast<std::int64_t>(c);
    }
    return true;
  }

  // Rounding to nearest with a dead zone, which zeroes the many small details of a smooth signal.
  bool quantise(std::span<const std::uint32_t> steps, std::span<const std::int64_t> bands,
                std::span<std::int32_t> q) const {
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
    for_each_band(bands, block_length_, quantise_band);
    return fits;
  }

  const Input& input_;
  Grid grid_;
  std::size_t block_length_;
  std::vector<double> gains_;
};

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
  const LiftedSearch search(input, grid, block_length);
  const Measure measure{TargetKind::rmse, input.size(), input.signal_sum_squares, input.unit};
  // Bisection on the logarithm of delta, keeping the coarsest delta that meets the target. Delta ends
  // between 3 and 7 times the target on the signals measured; 12 halvings of [1, 16] leave it within
  // 0.07 %.
  LiftedTrial trial;
  std::optional<double> met;
  double low = std::log(rmse), high = std::log(16 * rmse);
  for (int i = 0; i < 12; ++i) {
    const double middle = 0.5 * (low + high);
    if (search.run(std::exp(middle), trial) && measure(trial.distortion) <= rmse) {
      low = middle;
      met = middle;
    } else {
      high = middle;
    }
  }
  // Its trial made again rather than kept beside each later one.
  if (!met || !search.run(std::exp(*met), trial)) return container;
  auto canonical = keep_lifted(trial.y, extremes(trial.y), rmse, block_length);
  if (!canonical) return container;
  release(trial.y);  // coding the canonical codes needs the room
  auto lifted = smallest_container(*canonical, settings);
  if (!lifted || lifted->size() >= container->size()) return container;
  return lifted;
}

}  // namespace quorvel::v2::stages
