// codec/aim/search.cpp: the aimed encoder's step searches, for an error target and for a byte budget.
#include <algorithm>
#include <cmath>

#include "codec/aim/stages.hpp"

namespace quorvel::aim_stages {

// The largest step whose trial meets the goal. The error grows about in
// proportion to the step, so the next step is scaled by goal / error, and once
// the answer is bracketed, bisected on log(step). Searching goes on past the
// round limit until some step meets the goal or the finest step has failed.
std::expected<std::optional<Trial>, QuorvelError> search_error(const Problem& p, const Decomposition& d,
                                                           float rounding, double guess, SearchLimits limits,
                                                           Workspace& ws) {
  constexpr int hard_rounds = 60;
  double floor_step = d.peaks[0] * d.divisor / largest_code;  // finer steps overflow int16
  const double cap = step_cap(p.minimum);
  double ok = 0.0;
  double bad = std::numeric_limits<double>::infinity();
  std::optional<Trial> best;
  double step = std::clamp(guess, std::min(floor_step, cap), cap);
  for (int round = 0; round < hard_rounds; ++round) {
    auto trial = try_step(p, d, step, rounding, ws);
    if (!trial) return std::unexpected(std::move(trial.error()));
    if (!*trial) {  // too fine for int16 or for the header's float precision
      if (step >= cap) break;
      floor_step = std::min(step * 1.05, cap);
      step = floor_step;
      continue;
    }
    const double actual = (*trial)->framing.step;
    const double error = (*trial)->error;
    if (error <= p.goal && actual > ok) {
      ok = actual;
      if (best) ws.recycle(std::move(*best));
      best = std::move(*trial);
    } else {
      if (error > p.goal && actual < bad) bad = actual;
      ws.recycle(std::move(**trial));
    }
    const bool done = round + 1 >= limits.rounds || (ok > 0 && bad <= ok * (1 + limits.precision)) ||
                      (best && best->error >= p.goal * (1 - limits.near_goal));
    if (best && (done || ok >= cap)) break;
    if (!best && step <= floor_step) break;  // the finest step fails: unreachable
    double next = error > 0 ? step * (p.goal / error) * (error > p.goal ? 0.98 : 1.0) : step * 4;
    // An error that hardly falls with the step (float32 rounding dominates) must
    // not stall the way down to the finest step.
    if (!best && round >= 2) next = std::min(next, step * 0.7);
    if (ok > 0 && bad < std::numeric_limits<double>::infinity() && (next <= ok || next >= bad)) {
      next = std::sqrt(ok * bad);
    } else if (ok > 0 && next <= ok) {
      next = ok * (1 + 2 * limits.precision);
    } else if (next >= bad) {
      next = bad / (1 + 2 * limits.precision);
    }
    step = std::clamp(next, std::min(floor_step, cap), cap);
  }
  return best;
}

// The finest step whose container fits the budget. Size falls about linearly
// in log(step), so the search interpolates there (regula falsi on log(step)
// between a fitting and a too-large step), bisecting when it stalls.
std::expected<std::optional<Sized>, QuorvelError> search_size(const Problem& p, const Decomposition& d, float rounding,
                                                          double budget, int level, SearchLimits limits,
                                                          Workspace& ws) {
  const double floor_step = d.peaks[0] * d.divisor / largest_code;
  // Beyond a step of twice the largest coefficient every code is 0: the smallest container.
  const double cap = std::min(step_cap(p.minimum), 2.0 * d.peaks.back() * d.divisor / (1.0f - rounding));
  std::optional<Sized> best;
  double fit_step = 0.0, fit_size = 0.0, over_step = 0.0, over_size = 0.0;
  double step = std::clamp(p.half_range / 1024.0, std::min(floor_step, cap), cap);
  for (int round = 0; round < 2 * limits.rounds + 8; ++round) {
    auto trial = try_step(p, d, step, rounding, ws);
    if (!trial) return std::unexpected(std::move(trial.error()));
    if (!*trial) {
      if (step >= cap) break;
      step = std::min(step * 1.05, cap);
      continue;
    }
    const auto payload = payload_size(**trial, level);
    if (!payload) return std::unexpected(payload.error());
    const double size = static_cast<double>(header_size + *payload);
    const double actual = (*trial)->framing.step;
    if (size <= budget) {
      if (!best || actual < fit_step) {
        fit_step = actual;
        fit_size = size;
        if (best) ws.recycle(std::move(best->trial));
        best = Sized{std::move(**trial), *payload};
      } else {
        ws.recycle(std::move(**trial));
      }
    } else {
      if (over_step == 0.0 || actual > over_step) {
        over_step = actual;
        over_size = size;
      }
      ws.recycle(std::move(**trial));
    }
    if (best && over_step > 0 && fit_step <= over_step * (1 + limits.precision)) break;
    if (!best && step >= cap) break;              // even the coarsest step is too large
    if (best && step <= floor_step) break;        // the finest step fits
    double next;
    if (!best) {
      next = step * 8;
    } else if (over_step == 0.0) {
      next = step / 8;
    } else {
      const double a = std::log(over_step), b = std::log(fit_step);
      const double t = (over_size - budget) / std::max(over_size - fit_size, 1.0);
      next = std::exp(a + std::clamp(t, 0.1, 0.9) * (b - a));
    }
    step = std::clamp(next, std::min(floor_step, cap), cap);
  }
  return best;
}

}  // namespace quorvel::aim_stages
