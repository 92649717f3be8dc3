// codec/aim/input.cpp: the aimed encoder's input: the problem that the checked samples, target and options pose.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>

#include "codec/aim/stages.hpp"

namespace quorvel::aim_stages {

namespace {

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

}  // namespace

std::expected<Problem, QuorvelError> pose(Samples x, Target target, const AimOptions& options) {
  const auto facts = examine(x);
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

}  // namespace quorvel::aim_stages
