// codec/aim/fallback.cpp: the aimed encoder's last look before it refuses: candidates that do not depend on the target.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "codec/aim/stages.hpp"
#include "codec/v1/compressor.hpp"

namespace quorvel::aim_stages {

namespace {

// Each fixed setting costs a plain encode and a decode; up to this length the
// 21 settings of a method take a few milliseconds.
constexpr std::size_t short_signal = std::size_t{1} << 14;

// Trials that meet an error target are ranked by their payload at this fast
// DEFLATE level; only the one kept becomes a container at the final level.
constexpr int rank_level = 1;

// The best candidate so far and the best figure seen. Error targets keep the
// smallest container that meets them, budgets the fitting one that decodes
// closest (by RMSE).
class Shortlist {
 public:
  Shortlist(const Problem& p, Target target, int level) : p_(p), target_(target), level_(level) {}

  // A container of `method`, measured as decompress decodes it.
  std::expected<void, QuorvelError> offer(std::vector<std::uint8_t> container, CompressionMethod method) {
    const auto decoded = decompress_block(container);
    if (!decoded) return std::unexpected(decoded.error());
    const double error =
        p_.measure(distortion(p_.x, std::span<const float>(decoded->span()), p_.facts.unit)) + tier_margin(p_, method);
    const auto size = static_cast<double>(container.size());
    const double figure = budget() ? size : error;
    const double rank = budget() ? error : size;
    figure_ = std::min(figure_, figure);
    if (figure <= target_.value && rank < rank_) {
      rank_ = rank;
      kept_ = std::move(container);
    }
    return {};
  }

  // What a trial promises: its error (by the decoder's own arithmetic) with
  // the method's tier margin. An error target's figure takes it in.
  double promise(const Decomposition& d, const Trial& trial) {
    const double promised = trial.error + tier_margin(p_, d.method);
    if (!budget()) figure_ = std::min(figure_, promised);
    return promised;
  }

  // A trial: for a budget, its container; for an error target, if it meets
  // it, a contender ranked by its payload.
  std::expected<void, QuorvelError> offer(const Decomposition& d, Trial&& trial) {
    if (budget()) return offer_container(d.method, trial);
    if (promise(d, trial) > target_.value) return {};
    const auto bytes = payload_size(trial, rank_level);
    if (!bytes) return std::unexpected(bytes.error());
    if (*bytes < trial_rank_) {
      trial_rank_ = *bytes;
      kept_trial_.emplace(d.method, std::move(trial));
    }
    return {};
  }

  // The container kept (the best trial's and the best container offered
  // compete by their size), or Unreachable naming the best figure.
  std::expected<std::vector<std::uint8_t>, QuorvelError> result() && {
    if (kept_trial_) {
      if (auto offered = offer_container(kept_trial_->first, kept_trial_->second); !offered) {
        return std::unexpected(offered.error());
      }
    }
    if (!kept_.empty()) return std::move(kept_);
    return std::unexpected(QuorvelError::unreachable(target_, figure_));
  }

 private:
  [[nodiscard]] bool budget() const { return target_.kind == TargetKind::max_bytes; }

  std::expected<void, QuorvelError> offer_container(CompressionMethod method, const Trial& trial) {
    std::vector<std::uint8_t> scratch;
    auto container = assemble_container(header_of(method, p_.n, trial), stream_bytes(trial.codes, scratch), level_);
    if (!container) return std::unexpected(container.error());
    return offer(std::move(*container), method);
  }

  const Problem& p_;
  Target target_;
  int level_;
  double figure_ = std::numeric_limits<double>::infinity();
  double rank_ = std::numeric_limits<double>::infinity();
  std::vector<std::uint8_t> kept_;
  std::size_t trial_rank_ = std::numeric_limits<std::size_t>::max();
  std::optional<std::pair<CompressionMethod, Trial>> kept_trial_;
};

// The finest step whose codes fit int16 and whose framing the header can
// hold, reached as the error search reaches it when its goal is out of reach.
std::expected<std::optional<Trial>, QuorvelError> finest_trial(const Problem& p, const Decomposition& d,
                                                               Workspace& ws) {
  const double cap = step_cap(p.minimum);
  for (double step = std::min(d.peaks[0] * d.divisor / largest_code, cap);; step = std::min(step * 1.05, cap)) {
    auto trial = try_step(p, d, step, 0.5f, ws);
    if (!trial || *trial || step >= cap) return trial;
  }
}

// The coarsest step, where every code is 0: the method's smallest container.
std::expected<std::optional<Trial>, QuorvelError> coarsest_trial(const Problem& p, const Decomposition& d,
                                                                 Workspace& ws) {
  return try_step(p, d, std::min(step_cap(p.minimum), 4.0 * d.peaks.back() * d.divisor), 0.5f, ws);
}

// The exact steps of one divisor, from 2^-finest_shift of it.
std::expected<void, QuorvelError> offer_exact_steps(const Problem& p, CompressionMethod method, double divisor,
                                                    int finest_shift, Target target, Shortlist& list, Workspace& ws) {
  const auto d = decompose(p, method, divisor);
  if (!d) return std::unexpected(d.error());
  for (std::size_t levels = 1; levels <= d->peaks.size(); ++levels) {
    int finest = 0;  // of the steps whose codes fit int16
    while (finest < finest_shift && static_cast<double>(d->peaks[levels - 1]) * std::ldexp(1.0, finest + 1) <= largest_code) {
      ++finest;
    }
    // Finest first, then coarser steps (smaller containers) while they still
    // meet the target; the coarsest of them is offered.
    std::optional<Trial> coarsest_met;
    for (int shift = finest; shift >= 0; --shift) {
      auto trial = try_step(p, *d, std::ldexp(d->divisor, -shift), 0.5f, ws, levels);
      if (!trial) return std::unexpected(std::move(trial.error()));
      if (!*trial) continue;
      if (list.promise(*d, **trial) > target.value) {
        ws.recycle(std::move(**trial));
        break;
      }
      if (coarsest_met) ws.recycle(std::move(*coarsest_met));
      coarsest_met = std::move(**trial);
    }
    if (coarsest_met) {
      if (auto offered = list.offer(*d, std::move(*coarsest_met)); !offered) return offered;
    }
  }
  return {};
}

// Two-valued signals, spikes on a baseline, samples on a coarse grid: centred
// and divided by a power of two, or by their range (two values become +-1/2,
// whatever they are), they are dyadic, and a dyadic wavelet keeps them so. At
// a step that divides that divisor by a power of two, with few enough levels,
// every coefficient is a whole number of steps and the header's arithmetic is
// exact too, so the container decodes to the samples themselves. The searches
// follow the target's figure and divide by half the range; they seldom land
// on such a step. Steps of the range are exact in the header (whose range is
// then the signal's) at the header's own scales alone, as the plain encoder
// frames every signal.
std::expected<void, QuorvelError> offer_exact_steps(const Problem& p, CompressionMethod method, Target target,
                                                    Shortlist& list, Workspace& ws) {
  const double power_of_two = std::ldexp(1.0, std::ilogb(p.half_range) + 1);
  if (auto offered = offer_exact_steps(p, method, power_of_two, 64, target, list, ws); !offered) return offered;
  return offer_exact_steps(p, method, 2 * p.half_range, max_scale, target, list, ws);
}

// Every fixed setting of the methods: the plain encoder's own containers.
std::expected<void, QuorvelError> offer_fixed_settings(const Problem& p, std::span<const CompressionMethod> methods,
                                                       Shortlist& list) {
  const auto narrowed = std::visit([](auto x) { return std::vector<float>(x.begin(), x.end()); }, p.x);
  for (const CompressionMethod method : methods) {
    for (std::uint8_t scale = min_scale; scale <= max_scale; ++scale) {
      for (const auto& cutoff : Names<CutoffLevel>::table) {
        auto container = compress(narrowed, CompressionOptions(method, scale, cutoff.value));
        if (!container) continue;  // the plain encoder refuses some signals the aimed one takes
        if (auto offered = list.offer(std::move(*container), method); !offered) return offered;
      }
    }
  }
  return {};
}

}  // namespace

std::expected<std::vector<std::uint8_t>, QuorvelError> fallback(const Problem& p,
                                                                std::span<const CompressionMethod> methods,
                                                                Target target, int level) {
  Shortlist list(p, target, level);
  Workspace ws;
  const bool budget = target.kind == TargetKind::max_bytes;
  // A constant signal (range 0) has no steps: only fixed settings.
  for (const CompressionMethod method : p.half_range > 0 ? methods : std::span<const CompressionMethod>()) {
    const auto d = decompose(p, method, p.half_range);
    if (!d) return std::unexpected(d.error());
    auto trial = budget ? coarsest_trial(p, *d, ws) : finest_trial(p, *d, ws);
    if (!trial) return std::unexpected(std::move(trial.error()));
    if (*trial) {
      if (auto offered = list.offer(*d, std::move(**trial)); !offered) return std::unexpected(offered.error());
    }
    if (!budget && dyadic(method)) {
      if (auto offered = offer_exact_steps(p, method, target, list, ws); !offered) {
        return std::unexpected(offered.error());
      }
    }
  }
  if (p.n <= short_signal) {
    if (auto offered = offer_fixed_settings(p, methods, list); !offered) return std::unexpected(offered.error());
  }
  return std::move(list).result();
}

}  // namespace quorvel::aim_stages
