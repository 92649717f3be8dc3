// codec/aim/aim.cpp: the aimed encoder's plan: which methods and roundings to search, the candidate kept, the checked container.
#include "codec/aim/aim.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "codec/aim/stages.hpp"
#include "codec/v1/deflate.hpp"
#include "codec/v1/wavelet.hpp"

namespace quorvel {

namespace {

using namespace aim_stages;

struct Plan {
  std::vector<CompressionMethod> methods;
  std::vector<CompressionMethod> allowed;  // the methods a refusal looks through: the preferred one first
  std::vector<float> roundings;
  int rank_level;   // DEFLATE level that ranks several candidates
  int final_level;  // DEFLATE level of the container
  SearchLimits limits;
};

// fast: one method, nearest rounding, a second trial only when the first
// lands far below the goal, and a fast DEFLATE.
// default: one method, a tight search and a stronger DEFLATE. best: every
// method allowed (cdf97 first), several dead-zones, ranked by DEFLATE, the
// smallest at level 12.
Plan plan_for(const AimOptions& options) {
  constexpr CompressionMethod first = CompressionMethod::cdf97;
  const CompressionMethod preferred = options.method.value_or(first);
  std::vector<CompressionMethod> allowed{preferred};
  for (const auto& row : method_rows) {
    if (!options.method && row.method != first) allowed.push_back(row.method);
  }
  switch (options.effort) {
    case Effort::fast: return {{preferred}, allowed, {0.5f}, 1, 1, {2, 0.05, 0.2}};
    case Effort::default_: return {{preferred}, allowed, {0.5f}, 6, 6, {10, 0.01, 0.01}};
    case Effort::best: break;
  }
  // Measured on ECG, speech-like, CO2 and membrane signals: nearest rounding
  // wins at fine targets, a slightly wider zero bin at coarse ones; wider
  // dead-zones (or ones on the finest bands only) never won, for RMSE either.
  const std::vector<float> roundings{0.5f, 0.42f, 0.35f};
  return {allowed, allowed, roundings, 6, 12, {16, 0.004, 0.002}};
}

struct Candidate {
  std::shared_ptr<const Decomposition> decomposition;
  Trial trial;
  std::size_t ranked_bytes = 0;
};

std::expected<std::vector<std::uint8_t>, QuorvelError> assemble(CompressionMethod method, std::size_t n,
                                                                const Trial& trial, int level) {
  std::vector<std::uint8_t> scratch;
  return assemble_container(header_of(method, n, trial), stream_bytes(trial.codes, scratch), level);
}

// Decodes the container with decompress itself and measures it; a miss (which
// the trials' decoding should rule out) shrinks the step and tries again, and
// Unreachable sends the caller to the fallback.
std::expected<std::vector<std::uint8_t>, QuorvelError> finish(const Problem& p, Candidate chosen, Target target,
                                                              int level, int fallback_level) {
  const Decomposition& d = *chosen.decomposition;
  Trial trial = std::move(chosen.trial);
  std::size_t searched_bytes = chosen.ranked_bytes;  // payload at fallback_level, 0 if not measured
  Workspace ws;
  for (int attempt = 0; attempt < 8; ++attempt) {
    auto container = assemble(d.method, p.n, trial, level);
    if (!container) return container;
    // A stronger level almost always does better, though not on every tiny or very repetitive stream.
    if (searched_bytes > 0 && header_size + searched_bytes < container->size()) {
      container = assemble(d.method, p.n, trial, fallback_level);
      if (!container) return container;
    }
    searched_bytes = 0;  // a retry has other codes
    if (target.kind == TargetKind::max_bytes && static_cast<double>(container->size()) > target.value) {
      return std::unexpected(QuorvelError::unreachable(target, static_cast<double>(container->size())));
    }
    const auto decoded = decompress_block(*container);
    if (!decoded) return std::unexpected(decoded.error());
    const double error = p.measure(distortion(p.x, std::span<const float>(decoded->span()), p.facts.unit));
    if (target.kind == TargetKind::max_bytes || error <= p.goal) return container;
    auto retry = try_step(p, d, trial.framing.step * 0.97, trial.rounding, ws);
    if (!retry) return std::unexpected(std::move(retry.error()));
    if (!*retry) break;
    trial = std::move(**retry);
  }
  return std::unexpected(QuorvelError::unreachable(target, trial.error + p.margin));
}

// A constant container: every code 0 and range 0, so every decoded sample is
// `value` on any decoder, and no tier margin is needed.
std::expected<std::vector<std::uint8_t>, QuorvelError> encode_constant(const Problem& p, CompressionMethod method,
                                                                       Target target, float value) {
  const auto executor = method_executor(method);
  const auto lengths = executor->dwt_size(std::max(p.n, executor->filter_length()));
  Trial trial{1, Framing{value, value, 0.0f, max_scale, 0.0}, 0.5f,
              std::vector<std::int16_t>(lengths.approx_length + lengths.details_length), 0.0};
  const std::vector<float> decoded(p.n, value);
  trial.error = p.measure(distortion(p.x, decoded, p.facts.unit));
  if (target.kind != TargetKind::max_bytes && trial.error > target.value) {
    return std::unexpected(QuorvelError::unreachable(target, trial.error));
  }
  auto container = assemble(method, p.n, trial, max_deflate_level);
  if (!container) return container;
  if (target.kind == TargetKind::max_bytes && static_cast<double>(container->size()) > target.value) {
    return std::unexpected(QuorvelError::unreachable(target, static_cast<double>(container->size())));
  }
  return container;
}

// The candidate of one method and rounding, if its search found one. Budgets
// keep the candidate within them that decodes closest to the signal.
std::expected<std::optional<Candidate>, QuorvelError> search(const Problem& p, const Plan& plan, Target target,
                                                             const std::shared_ptr<const Decomposition>& d,
                                                             float rounding, Workspace& ws) {
  const bool ranked = plan.methods.size() * plan.roundings.size() > 1;
  const int search_level = ranked ? plan.rank_level : plan.final_level;
  if (target.kind == TargetKind::max_bytes) {
    auto found = search_size(p, *d, rounding, target.value, search_level, plan.limits, ws);
    if (!found) return std::unexpected(found.error());
    if (!*found) return std::optional<Candidate>{};
    return Candidate{d, std::move((*found)->trial), (*found)->bytes};
  }
  auto found = search_error(p, *d, rounding, first_guess(p, target.kind), plan.limits, ws);
  if (!found) return std::unexpected(found.error());
  if (!*found) return std::optional<Candidate>{};
  Candidate candidate{d, std::move(**found), 0};
  if (ranked) {
    const auto bytes = payload_size(candidate.trial, plan.rank_level);
    if (!bytes) return std::unexpected(bytes.error());
    candidate.ranked_bytes = *bytes;
  }
  return candidate;
}

// The best candidate over the plan's methods and roundings.
std::expected<std::optional<Candidate>, QuorvelError> choose(const Problem& p, const Plan& plan, Target target) {
  std::optional<Candidate> chosen;
  Workspace ws;
  for (const CompressionMethod method : plan.methods) {
    auto decomposition = decompose(p, method, p.half_range);
    if (!decomposition) return std::unexpected(decomposition.error());
    const auto shared = std::make_shared<const Decomposition>(std::move(*decomposition));
    for (const float rounding : plan.roundings) {
      auto candidate = search(p, plan, target, shared, rounding, ws);
      if (!candidate) return std::unexpected(candidate.error());
      if (!*candidate) continue;
      const bool better = !chosen || (target.kind == TargetKind::max_bytes
                                          ? (*candidate)->trial.error < chosen->trial.error
                                          : (*candidate)->ranked_bytes < chosen->ranked_bytes);
      if (better) chosen = std::move(*candidate);
    }
  }
  return chosen;
}

// The candidates that do not depend on the target's value, looked at before
// refusing: their container, or Unreachable naming the best of their figure
// and `refused` (the figure of a constant container that was refused), so
// that a second call for the figure named meets it.
std::expected<std::vector<std::uint8_t>, QuorvelError> fall_back(const Problem& p, const Plan& plan, Target target,
                                                                 double refused) {
  auto last = fallback(p, plan.allowed, target, plan.final_level);
  if (last || last.error().kind() != QuorvelError::Kind::Unreachable) return last;
  return std::unexpected(QuorvelError::unreachable(target, std::min(*last.error().best_reachable(), refused)));
}

// A constant container of `value`, or the fallback.
std::expected<std::vector<std::uint8_t>, QuorvelError> constant_or_fall_back(const Problem& p, const Plan& plan,
                                                                             Target target, float value) {
  auto constant = encode_constant(p, plan.methods.front(), target, value);
  if (constant || constant.error().kind() != QuorvelError::Kind::Unreachable) return constant;
  return fall_back(p, plan, target, *constant.error().best_reachable());
}

std::expected<std::vector<std::uint8_t>, QuorvelError> aim(Samples x, Target target, AimOptions options) {
  const auto posed = pose(x, target, options);
  if (!posed) return std::unexpected(posed.error());
  const Problem& p = *posed;
  const Plan plan = plan_for(options);
  if (p.half_range == 0.0) return constant_or_fall_back(p, plan, target, p.minimum);

  auto chosen = choose(p, plan, target);
  if (!chosen) return std::unexpected(chosen.error());
  // A float64 signal whose spread float32 cannot resolve (0.5 + 1e-13, or
  // values below float32's range) leaves no step to search: its float32
  // centre as a constant may still meet the target, and bounds what can be.
  if (!*chosen) return constant_or_fall_back(p, plan, target, static_cast<float>(p.centre));
  const bool ranked = plan.methods.size() * plan.roundings.size() > 1;
  auto container =
      finish(p, std::move(**chosen), target, plan.final_level, ranked ? plan.rank_level : plan.final_level);
  if (container || container.error().kind() != QuorvelError::Kind::Unreachable) return container;
  return fall_back(p, plan, target, std::numeric_limits<double>::infinity());
}

}  // namespace

std::expected<std::vector<std::uint8_t>, QuorvelError> compress_aimed(std::span<const float> samples, Target target,
                                                                      AimOptions options) {
  return aim(samples, target, options);
}

std::expected<std::vector<std::uint8_t>, QuorvelError> compress_aimed(std::span<const double> samples, Target target,
                                                                      AimOptions options) {
  return aim(samples, target, options);
}

}  // namespace quorvel
