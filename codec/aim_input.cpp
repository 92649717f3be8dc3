// codec/aim_input.cpp: the aimed encoder's input: samples and target checked, the problem they pose, its measure.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>

#include "codec/aim_stages.hpp"

namespace quorvel::aim_stages {

namespace {

// The first sample that is not finite, named, if there is one (squares of
// finite float64 samples may overflow too).
template <class T>
std::expected<void, QuorvelError> check_finite(std::span<const T> x) {
  for (std::size_t j = 0; j < x.size(); ++j) {
    const double v = x[j];
    if (std::isfinite(v)) continue;
    const char* what = std::isnan(v) ? "NaN" : v > 0 ? "+inf" : "-inf";
    return std::unexpected(QuorvelError::invalid_input("Sample " + std::to_string(j) + " is " + what +
                                                       ": only finite samples can be encoded to an error target"));
  }
  return {};
}

template <class T>
std::expected<SignalFacts, QuorvelError> examine(std::span<const T> x) {
  if (const auto problem = unencodable_count(x.size())) return std::unexpected(QuorvelError::invalid_input(*problem));
  // One branch-free pass (NaN and infinities surface in the sum of squares),
  // and a second one only to name the first bad sample.
  double lowest[4], highest[4], sums[4] = {};
  std::fill(std::begin(lowest), std::end(lowest), std::numeric_limits<double>::infinity());
  std::fill(std::begin(highest), std::end(highest), -std::numeric_limits<double>::infinity());
  std::size_t i = 0;
  for (; i + 4 <= x.size(); i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      const double v = x[i + k];
      lowest[k] = v < lowest[k] ? v : lowest[k];
      highest[k] = v > highest[k] ? v : highest[k];
      sums[k] += v * v;
    }
  }
  for (; i < x.size(); ++i) {
    const double v = x[i];
    lowest[0] = std::min(lowest[0], v);
    highest[0] = std::max(highest[0], v);
    sums[0] += v * v;
  }
  SignalFacts facts{*std::min_element(std::begin(lowest), std::end(lowest)),
                    *std::max_element(std::begin(highest), std::end(highest)), 0.0, 1.0,
                    (sums[0] + sums[1]) + (sums[2] + sums[3])};
  if (!std::isfinite(facts.sum_squares)) {
    if (auto finite = check_finite(x); !finite) return std::unexpected(finite.error());
  }
  facts.peak = std::max(std::fabs(facts.lowest), std::fabs(facts.highest));
  // Squares of float64 samples below about 1e-154 underflow, and a PRD of
  // 0 / 0 would pass for a perfect one: every sum of squares is taken on
  // samples and errors brought near 1 by the same power of two, which is exact
  // and cancels in PRD. Float32 samples and ordinary magnitudes need no second pass.
  if (facts.peak > 0) facts.unit = std::ldexp(1.0, -std::ilogb(facts.peak));
  if (facts.peak < 1e-100 || facts.peak > 1e100) {
    facts.sum_squares = 0.0;
    for (const T v : x) facts.sum_squares += (v * facts.unit) * (v * facts.unit);
  } else {
    facts.sum_squares *= facts.unit * facts.unit;
  }
  if (facts.peak > float_max) {
    return std::unexpected(QuorvelError::invalid_input("Samples reach " + figure(facts.peak) +
                                                       ", beyond the largest float32 the decoder can return"));
  }
  return facts;
}

std::expected<void, QuorvelError> check_target(Target target) {
  if (!is_known(target.kind)) return std::unexpected(QuorvelError::invalid_target("Unknown target kind"));
  if (!std::isfinite(target.value) || target.value < 0) {
    return std::unexpected(
        QuorvelError::invalid_target("Target must be a finite number >= 0, but it was " + figure(target.value)));
  }
  return {};
}

std::expected<void, QuorvelError> check_options(const AimOptions& options) {
  if (options.method && !is_known(*options.method)) {
    return std::unexpected(QuorvelError::invalid_options("Unknown compression method code " +
                                                         std::to_string(static_cast<int>(*options.method))));
  }
  if (!is_known(options.effort)) {
    return std::unexpected(
        QuorvelError::invalid_options("Unknown effort code " + std::to_string(static_cast<int>(options.effort))));
  }
  return {};
}

// The margin that covers decoders on other processor tiers: their transforms
// differ from this one's by a few float32 roundings of the range (8 units of
// it here), which can flip the last rounding of a sample by one unit of its
// magnitude (at most 2^-23 of it). Constant signals decode exactly everywhere
// (every code is zero) and need none.
double tier_margin(const SignalFacts& facts, TargetKind kind, std::size_t n) {
  const double range = facts.highest - facts.lowest;
  if (range == 0.0 || kind == TargetKind::max_bytes) return 0.0;
  const double margin = std::ldexp(facts.peak, -23) + std::ldexp(range, -20);
  if (kind == TargetKind::prd) {
    return facts.sum_squares > 0 ? 100.0 * margin * facts.unit / std::sqrt(facts.sum_squares / static_cast<double>(n))
                                 : 0.0;
  }
  return margin;
}

// Four partial sums and maxima keep the loop free of a serial dependency.
template <class T>
Distortion distortion_of(std::span<const T> x, std::span<const float> y, double unit) {
  double maxima[4] = {};
  double sums[4] = {};
  std::size_t i = 0;
  for (; i + 4 <= x.size(); i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      const double e = static_cast<double>(y[i + k]) - static_cast<double>(x[i + k]);
      const double a = std::fabs(e);
      maxima[k] = a > maxima[k] ? a : maxima[k];
      sums[k] += (e * unit) * (e * unit);
    }
  }
  Distortion d{std::max(std::max(maxima[0], maxima[1]), std::max(maxima[2], maxima[3])),
               (sums[0] + sums[1]) + (sums[2] + sums[3])};
  for (; i < x.size(); ++i) {
    const double e = static_cast<double>(y[i]) - static_cast<double>(x[i]);
    d.max_abs = std::max(d.max_abs, std::fabs(e));
    d.sum_squares += (e * unit) * (e * unit);
  }
  return d;
}

}  // namespace

double Measure::operator()(const Distortion& d) const {
  if (kind == TargetKind::max_error) return d.max_abs;
  if (kind != TargetKind::prd) return std::sqrt(d.sum_squares / static_cast<double>(n)) / unit;
  if (signal_sum_squares == 0.0) return d.sum_squares == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
  return 100.0 * std::sqrt(d.sum_squares / signal_sum_squares);
}

std::expected<Problem, QuorvelError> pose(Samples x, Target target, const AimOptions& options) {
  const auto facts = std::visit([](auto samples) { return examine(samples); }, x);
  if (!facts) return std::unexpected(facts.error());
  if (auto checked = check_target(target); !checked) return std::unexpected(checked.error());
  if (auto checked = check_options(options); !checked) return std::unexpected(checked.error());
  const std::size_t n = std::visit([](auto samples) { return samples.size(); }, x);
  const double half_range = (facts->highest - facts->lowest) / 2;
  Problem p{x,
            n,
            *facts,
            facts->lowest + half_range,
            half_range,
            static_cast<float>(facts->lowest),
            Measure{target.kind, n, facts->sum_squares, facts->unit},
            tier_margin(*facts, target.kind, n),
            0.0};
  p.goal = std::max(target.value - p.margin, 0.0);
  return p;
}

bool dyadic(CompressionMethod method) {
  return method_rows[static_cast<std::size_t>(method)].wavelet.family == Wavelet::Family::cdf53_lifting;
}

double tier_margin(const Problem& p, CompressionMethod method) { return dyadic(method) ? 0.0 : p.margin; }

// The max error of nearest rounding is about one step (a little under, so
// that a one-trial search usually meets the goal at once), an RMSE between
// step / sqrt(12) (uniform) and less (many zeros).
double first_guess(const Problem& p, TargetKind kind) {
  switch (kind) {
    case TargetKind::max_error: return 0.85 * p.goal;
    case TargetKind::rmse: return 4.0 * p.goal;
    case TargetKind::prd:
      return 4.0 * p.goal / 100.0 * std::sqrt(p.facts.sum_squares / static_cast<double>(p.n)) / p.facts.unit;
    case TargetKind::max_bytes: break;
  }
  return p.half_range / 1024.0;
}

Distortion distortion(const Samples& x, std::span<const float> decoded, double unit) {
  return std::visit([&](auto samples) { return distortion_of(samples, decoded, unit); }, x);
}

}  // namespace quorvel::aim_stages
