// codec/aim.cpp: step search on an exact replica of the decoder, then DEFLATE and a decode that checks.
#include "codec/aim.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>

#include "codec/compressor.hpp"
#include "codec/decompressor.hpp"
#include "codec/deflate.hpp"
#include "rimble/memory.hpp"
#include "rimble/interfaces.hpp"

// How the search works. The decoder computes ((y + mean) * range) + minimum with
// y = inverse transform of c * 2^-scale, so the header's minimum, maximum and
// scale give any quantisation step range * 2^-scale, and the mean is a free
// offset. The signal is transformed once per method, centred on its mid-range
// and scaled to [-1, 1]; a step then only rescales those bands. Each trial step
// is quantised, decoded by the same float32 arithmetic as decompress and
// measured against the samples as given; DEFLATE runs on the chosen candidates
// only, and decompress itself checks the container before it is returned.

namespace quorvel {

namespace {

using Executor = rimble::DwtExecutor<float>;

constexpr std::size_t max_levels = 10;         // the decoder's limit
constexpr float largest_code = 32766.0f;       // |code| stays inside int16 with room for rounding
constexpr double float_max = std::numeric_limits<float>::max();

// Resizes a reused buffer; fresh multi-megabyte storage is advised onto huge
// pages first, which saves most of its page faults.
template <class T>
void resize_buffer(std::vector<T>& buffer, std::size_t n) {
  if (buffer.capacity() < n) {
    std::vector<T> fresh;
    fresh.reserve(n);
    rimble::advise_huge_pages(fresh.data(), n * sizeof(T));
    buffer = std::move(fresh);
  }
  buffer.resize(n);
}

std::string figure(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// ---------------------------------------------------------------- the input

struct SignalFacts {
  double lowest;
  double highest;
  double peak;          // largest magnitude
  double unit;          // a power of two that brings the peak into [1, 2)
  double sum_squares;   // of the samples times unit, for PRD
};

template <class T>
std::expected<SignalFacts, AimError> examine(std::span<const T> x) {
  if (x.empty()) return std::unexpected(AimError::invalid_input("Can't compress empty data"));
  if (x.size() > max_sample_count) {
    return std::unexpected(AimError::invalid_input("Can't compress data bigger than " +
                                                   std::to_string(max_sample_count) + ", but data was " +
                                                   std::to_string(x.size())));
  }
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
    for (std::size_t j = 0; j < x.size(); ++j) {
      const double v = x[j];
      if (std::isfinite(v)) continue;
      const char* what = std::isnan(v) ? "NaN" : v > 0 ? "+inf" : "-inf";
      return std::unexpected(AimError::invalid_input("Sample " + std::to_string(j) + " is " + what +
                                                     ": only finite samples can be encoded to an error target"));
    }
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
    return std::unexpected(AimError::invalid_input("Samples reach " + figure(facts.peak) +
                                                   ", beyond the largest float32 the decoder can return"));
  }
  return facts;
}

std::expected<void, AimError> check_target(Target target) {
  if (target.kind > TargetKind::max_bytes) return std::unexpected(AimError::invalid_target("Unknown target kind"));
  if (!std::isfinite(target.value) || target.value < 0) {
    return std::unexpected(AimError::invalid_target("Target must be a finite number >= 0, but it was " +
                                                    figure(target.value)));
  }
  return {};
}

std::expected<void, AimError> check_options(const AimOptions& options) {
  if (options.method && *options.method > CompressionMethod::sym4) {
    return std::unexpected(AimError::invalid_options("Unknown compression method code " +
                                                     std::to_string(static_cast<int>(*options.method))));
  }
  if (options.effort > Effort::best) {
    return std::unexpected(
        AimError::invalid_options("Unknown effort code " + std::to_string(static_cast<int>(options.effort))));
  }
  return {};
}

// ---------------------------------------------------------------- transform

// One method's forward transform of z = (x - centre) / half_range, to as many
// levels as the signal allows; fewer levels are a prefix of these bands.
struct Decomposition {
  CompressionMethod method;
  std::shared_ptr<const Executor> executor;
  rimble::MultiDwt<float> bands;
  std::vector<float> peaks;  // peaks[L - 1]: largest |coefficient| among the bands L levels store
};

// Eight running maxima, so that the loop vectorises.
float peak_of(std::span<const float> band) {
  float lanes[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= band.size(); i += 8) {
    for (std::size_t k = 0; k < 8; ++k) {
      const float a = std::fabs(band[i + k]);
      lanes[k] = a > lanes[k] ? a : lanes[k];
    }
  }
  for (; i < band.size(); ++i) lanes[0] = std::max(lanes[0], std::fabs(band[i]));
  return *std::max_element(std::begin(lanes), std::end(lanes));
}

// Every forward level needs at least one filter's worth of input.
std::size_t possible_levels(const Executor& executor, std::size_t length) {
  std::size_t levels = 0;
  while (levels < max_levels && length >= executor.filter_length()) {
    length = executor.dwt_size(length).approx_length;
    ++levels;
  }
  return std::max<std::size_t>(levels, 1);
}

template <class T>
std::expected<Decomposition, AimError> decompose(std::span<const T> x, CompressionMethod method, double centre,
                                                 double half_range) {
  auto executor = method_executor(method);
  const std::size_t n = x.size();
  // Signals shorter than the filter repeat up to its length, as the decoder's band sizes expect.
  std::vector<float> z;
  resize_buffer(z, std::max(n, executor->filter_length()));
  const double inverse = half_range > 0 ? 1.0 / half_range : 0.0;
  for (std::size_t i = 0; i < n; ++i) z[i] = static_cast<float>((static_cast<double>(x[i]) - centre) * inverse);
  for (std::size_t i = n; i < z.size(); ++i) z[i] = z[i % n];

  auto bands = executor->multi_dwt(z, possible_levels(*executor, z.size()));
  if (!bands) return std::unexpected(AimError::codec(QuorvelError::transform_failed(bands.error().message())));
  Decomposition d{method, std::move(executor), std::move(*bands), {}};
  float detail_peak = 0.0f;
  for (const auto& level : d.bands.levels) {
    detail_peak = std::max(detail_peak, peak_of(level.details));
    d.peaks.push_back(std::max(detail_peak, peak_of(level.approximations)));
  }
  return d;
}

// ---------------------------------------------------------------- framing

// Header values that make the decoder's step range * 2^-scale, with range =
// maximum - minimum in float32 as the decoder forms it, and the signal's centre
// mapped to y = 0.
struct Framing {
  float minimum;
  float maximum;
  float mean;
  std::uint8_t scale;
  double step;  // the step the decoder will use
};

// The framing whose step is nearest `wanted`, or none when the float32 header
// cannot express it (finer than the minimum's precision, or overflowing).
std::optional<Framing> frame(double wanted, float minimum, double centre) {
  for (int scale = 12; scale >= 6; --scale) {
    const double range = std::ldexp(wanted, scale);
    if (static_cast<double>(minimum) + range > float_max || range > float_max) continue;  // try a smaller scale
    const float maximum = static_cast<float>(static_cast<double>(minimum) + range);
    const float stored_range = maximum - minimum;
    if (std::isinf(stored_range)) continue;  // rounding pushed the difference past the largest float
    if (!(stored_range > 0.0f)) return std::nullopt;
    const double step = std::ldexp(static_cast<double>(stored_range), -scale);
    const float mean = static_cast<float>((centre - minimum) / stored_range);
    return Framing{minimum, maximum, mean, static_cast<std::uint8_t>(scale), step};
  }
  return std::nullopt;
}

// The largest step any framing can carry for this minimum.
double step_cap(float minimum) {
  return std::ldexp(std::min(float_max, float_max - std::max(0.0, static_cast<double>(minimum))) * 0.999, -6);
}

// ---------------------------------------------------------------- quantise and decode

// Codes are sign(v) * floor(|v| + rounding) with v the coefficient in steps:
// rounding 0.5 is round-to-nearest, smaller values widen the zero bin (a
// dead-zone: more zeros for DEFLATE at the price of a larger error).
void quantise_band(std::span<const float> band, float gain, float rounding, float dequantise, std::int16_t* codes,
                   float* values) {
  for (std::size_t i = 0; i < band.size(); ++i) {
    const float v = band[i] * gain;
    // Truncation is floor here (the sum is never negative), and cvttps2dq vectorises where floorf would not.
    const auto magnitude = static_cast<std::int32_t>(std::min(std::fabs(v) + rounding, 32767.0f));
    const auto code = static_cast<std::int16_t>(v < 0.0f ? -magnitude : magnitude);
    codes[i] = code;
    values[i] = static_cast<float>(code) * dequantise;
  }
}

// One trial: the codes in stream order (deepest approximation band, then the
// detail bands finest first) and the error they decode to.
struct Trial {
  std::size_t levels = 0;
  Framing framing{};
  float rounding = 0.5f;
  std::vector<std::int16_t> codes;
  double error = std::numeric_limits<double>::infinity();  // in the target's units
};

struct Distortion {
  double max_abs = 0.0;
  double sum_squares = 0.0;
};

// Buffers reused across the trials of a search: the dequantised bands, and a
// code array that the next trial fills unless a kept trial took it.
struct Workspace {
  std::vector<float> values;
  std::vector<std::int16_t> spare_codes;

  void recycle(Trial&& trial) { spare_codes = std::move(trial.codes); }
};

// The decoder's de-normalisation, in its float32 order of operations, with its
// double fallback for the rare products that overflow.
inline float denormalise(float y, const Framing& f, float range, double wide_range) {
  const float shifted = y + f.mean;
  const float value = (shifted * range) + f.minimum;
  if (std::isfinite(value)) return value;
  return static_cast<float>(std::clamp(shifted * wide_range + f.minimum, -float_max, float_max));
}

template <class T>
Distortion distortion(std::span<const T> x, std::span<const float> decoded, double unit) {
  Distortion d;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double e = static_cast<double>(decoded[i]) - static_cast<double>(x[i]);
    d.max_abs = std::max(d.max_abs, std::fabs(e));
    d.sum_squares += (e * unit) * (e * unit);
  }
  return d;
}

// Distortion of the decoder's output for transform output y: de-normalised on
// the fly exactly as decompress does. The inverse transform returns at least
// the samples the signal had.
template <class T>
Distortion decoded_distortion(std::span<const T> x, std::span<const float> y, const Framing& f, double unit) {
  const float range = f.maximum - f.minimum;
  // Four partial sums and maxima keep the loop free of a serial dependency.
  double maxima[4] = {};
  double sums[4] = {};
  std::size_t i = 0;
  for (; i + 4 <= x.size(); i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      const float value = ((y[i + k] + f.mean) * range) + f.minimum;
      const double e = static_cast<double>(value) - static_cast<double>(x[i + k]);
      const double a = std::fabs(e);
      maxima[k] = a > maxima[k] ? a : maxima[k];
      sums[k] += (e * unit) * (e * unit);
    }
  }
  Distortion d{std::max(std::max(maxima[0], maxima[1]), std::max(maxima[2], maxima[3])),
               (sums[0] + sums[1]) + (sums[2] + sums[3])};
  const double wide_range = static_cast<double>(f.maximum) - static_cast<double>(f.minimum);
  for (; i < x.size(); ++i) {
    const double e = static_cast<double>(denormalise(y[i], f, range, wide_range)) - static_cast<double>(x[i]);
    d.max_abs = std::max(d.max_abs, std::fabs(e));
    d.sum_squares += (e * unit) * (e * unit);
  }
  if (std::isfinite(d.max_abs)) return d;
  // An overflowing product gave an infinity: measure again with the decoder's fallback for it.
  d = {};
  for (std::size_t j = 0; j < x.size(); ++j) {
    const double e = static_cast<double>(denormalise(y[j], f, range, wide_range)) - static_cast<double>(x[j]);
    d.max_abs = std::max(d.max_abs, std::fabs(e));
    d.sum_squares += (e * unit) * (e * unit);
  }
  return d;
}

// What the target measures, in its own units; budgets rank their candidates by RMSE.
struct Measure {
  TargetKind kind;
  std::size_t n;
  double signal_sum_squares;  // both sums are of values times `unit`
  double unit;

  [[nodiscard]] double operator()(const Distortion& d) const {
    if (kind == TargetKind::max_error) return d.max_abs;
    if (kind != TargetKind::prd) return std::sqrt(d.sum_squares / static_cast<double>(n)) / unit;
    if (signal_sum_squares == 0.0) return d.sum_squares == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
    return 100.0 * std::sqrt(d.sum_squares / signal_sum_squares);
  }
};

// Everything one search needs about the signal, fixed for the call.
template <class T>
struct Problem {
  std::span<const T> x;
  SignalFacts facts;
  double centre;
  double half_range;
  float minimum;
  Measure measure;
  double margin;  // room left for decoders on other processor tiers, in the target's units
  double goal;    // the target minus the margin
};

// Largest level count whose bands fit int16 at this step; 0 if none does.
std::size_t levels_for(const Decomposition& d, float gain) {
  std::size_t levels = d.peaks.size();
  while (levels > 0 && d.peaks[levels - 1] * gain > largest_code) --levels;
  return levels;
}

// Quantises `d` with a framing and decodes it exactly as decompress would;
template <class T>
std::expected<Trial, AimError> try_framing(const Problem<T>& p, const Decomposition& d, const Framing& framing,
                                           std::size_t levels, float rounding, Workspace& ws) {
  const auto& used = std::span(d.bands.levels).first(levels);
  std::size_t total = used.back().approximations.size();
  for (const auto& level : used) total += level.details.size();
  Trial trial{levels, framing, rounding, std::move(ws.spare_codes), 0.0};
  resize_buffer(trial.codes, total);
  std::vector<float>& values = ws.values;
  resize_buffer(values, total);

  const auto gain = static_cast<float>(p.half_range / framing.step);
  const float dequantise = std::ldexp(1.0f, -static_cast<int>(framing.scale));
  rimble::MultiDwtView<float> view;
  std::size_t offset = 0;
  auto add_band = [&](std::span<const float> band) {
    quantise_band(band, gain, rounding, dequantise, trial.codes.data() + offset, values.data() + offset);
    const std::span<const float> quantised(values.data() + offset, band.size());
    offset += band.size();
    return quantised;
  };
  view.approximations = add_band(used.back().approximations);
  for (const auto& level : used) view.details.push_back(add_band(level.details));

  auto decoded = d.executor->multi_idwt(view);
  if (!decoded) return std::unexpected(AimError::codec(QuorvelError::transform_failed(decoded.error().message())));
  trial.error = p.measure(decoded_distortion(p.x, *decoded, framing, p.facts.unit));
  return trial;
}

// A trial at (about) `step`: the most levels that fit, the nearest framing.
template <class T>
std::expected<std::optional<Trial>, AimError> try_step(const Problem<T>& p, const Decomposition& d, double step,
                                                       float rounding, Workspace& ws) {
  const auto framing = frame(step, p.minimum, p.centre);
  if (!framing) return std::optional<Trial>{};
  const std::size_t levels = levels_for(d, static_cast<float>(p.half_range / framing->step));
  if (levels == 0) return std::optional<Trial>{};
  auto trial = try_framing(p, d, *framing, levels, rounding, ws);
  if (!trial) return std::unexpected(std::move(trial.error()));
  return std::optional<Trial>{std::move(*trial)};
}


// ---------------------------------------------------------------- search

struct SearchLimits {
  int rounds;         // trials after which a found step is good enough
  double precision;   // stop when the feasible and infeasible steps are this close (relative)
  double near_goal;   // ... or when a feasible error is this close to the goal (relative)
};

// The largest step whose trial meets the goal. The error grows about in
// proportion to the step, so the next step is scaled by goal / error, and once
// the answer is bracketed, bisected on log(step). Searching goes on past the
// round limit until some step meets the goal or the finest step has failed.
template <class T>
std::expected<std::optional<Trial>, AimError> search_error(const Problem<T>& p, const Decomposition& d,
                                                           float rounding, double guess, SearchLimits limits,
                                                           double& finest_seen, Workspace& ws) {
  constexpr int hard_rounds = 60;
  double floor_step = d.peaks[0] * p.half_range / largest_code;  // finer steps overflow int16
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
    finest_seen = std::min(finest_seen, error);
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

// The coefficient stream's bytes, int16 little-endian: the codes' own memory
// on little-endian hosts, a byte-swapped copy in `scratch` elsewhere.
std::span<const std::uint8_t> stream_bytes(std::span<const std::int16_t> codes, std::vector<std::uint8_t>& scratch) {
  if constexpr (std::endian::native == std::endian::little) {
    return {reinterpret_cast<const std::uint8_t*>(codes.data()), 2 * codes.size()};
  }
  scratch.resize(2 * codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const auto bits = static_cast<std::uint16_t>(codes[i]);
    scratch[2 * i] = static_cast<std::uint8_t>(bits);
    scratch[2 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
  }
  return scratch;
}

std::expected<std::size_t, AimError> payload_size(const Trial& trial, int level) {
  std::vector<std::uint8_t> scratch;
  const auto payload = raw_deflate(stream_bytes(trial.codes, scratch), level, 0);
  if (!payload) return std::unexpected(AimError::codec(payload.error()));
  return payload->size();
}

// A trial that fits a byte budget, with its size at the level it was measured.
struct Sized {
  Trial trial;
  std::size_t bytes;
};

// The finest step whose container fits the budget. Size falls about linearly
// in log(step), so the search interpolates there (regula falsi on log(step)
// between a fitting and a too-large step), bisecting when it stalls.
template <class T>
std::expected<std::optional<Sized>, AimError> search_size(const Problem<T>& p, const Decomposition& d, float rounding,
                                                          double budget, int level, SearchLimits limits,
                                                          double& smallest_seen, Workspace& ws) {
  const double floor_step = d.peaks[0] * p.half_range / largest_code;
  // Beyond a step of twice the largest coefficient every code is 0: the smallest container.
  const double cap = std::min(step_cap(p.minimum), 2.0 * d.peaks.back() * p.half_range / (1.0f - rounding));
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
    smallest_seen = std::min(smallest_seen, size);
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

// ---------------------------------------------------------------- plans

struct Plan {
  std::vector<CompressionMethod> methods;
  std::vector<float> roundings;
  int rank_level;   // DEFLATE level that ranks several candidates
  int final_level;  // DEFLATE level of the container
  SearchLimits limits;
};

// fast: one method, nearest rounding, a second trial only when the first
// lands far below the goal, and a fast DEFLATE.
// normal: one method, a tight search and a stronger DEFLATE. best: every
// method, several dead-zones, ranked by DEFLATE, the smallest at level 12.
Plan plan_for(const AimOptions& options) {
  const CompressionMethod preferred = options.method.value_or(CompressionMethod::cdf97);
  switch (options.effort) {
    case Effort::fast: return {{preferred}, {0.5f}, 1, 1, {2, 0.05, 0.2}};
    case Effort::normal: return {{preferred}, {0.5f}, 6, 6, {10, 0.01, 0.01}};
    case Effort::best: break;
  }
  std::vector<CompressionMethod> methods{preferred};
  if (!options.method) {
    methods = {CompressionMethod::cdf97, CompressionMethod::cdf53, CompressionMethod::db4, CompressionMethod::sym4};
  }
  // Measured on ECG, speech-like, CO2 and membrane signals: nearest rounding
  // wins at fine targets, a slightly wider zero bin at coarse ones; wider
  // dead-zones (or ones on the finest bands only) never won, for RMSE either.
  const std::vector<float> roundings{0.5f, 0.42f, 0.35f};
  return {methods, roundings, 6, 12, {16, 0.004, 0.002}};
}

// ---------------------------------------------------------------- container

struct Candidate {
  std::shared_ptr<const Decomposition> decomposition;
  Trial trial;
  std::size_t ranked_bytes = 0;
};

std::expected<std::vector<std::uint8_t>, AimError> assemble(CompressionMethod method, std::size_t n,
                                                            const Trial& trial, int level) {
  std::vector<std::uint8_t> scratch;
  auto container = raw_deflate(stream_bytes(trial.codes, scratch), level, header_size);
  if (!container) return std::unexpected(AimError::codec(container.error()));
  const QuorvelHeader header{
      .magic = header_magic,
      .version = header_version,
      .format_tag = header_format_tag,
      .method_tag = method_tag(method),
      .levels = static_cast<std::uint8_t>(trial.levels),
      .scale = trial.framing.scale,
      .reserved = 0,
      .sample_count = static_cast<std::uint32_t>(n),
      .minimum = trial.framing.minimum,
      .maximum = trial.framing.maximum,
      .mean = trial.framing.mean,
      .payload_length = static_cast<std::uint32_t>(container->size() - header_size),
      .reserved_bytes = {},
  };
  const auto bytes = header.to_bytes();
  std::copy(bytes.begin(), bytes.end(), container->begin());
  return std::move(*container);
}

std::string target_text(Target target) {
  switch (target.kind) {
    case TargetKind::max_error: return "a max error of " + figure(target.value);
    case TargetKind::rmse: return "an RMSE of " + figure(target.value);
    case TargetKind::prd: return "a PRD of " + figure(target.value) + " %";
    case TargetKind::max_bytes: return figure(target.value) + " bytes";
  }
  return {};
}

AimError unreachable(Target target, double best) {
  if (target.kind == TargetKind::max_bytes) {
    return AimError::unreachable("Can't fit this signal in " + target_text(target) +
                                     ": the smallest container for it takes " + figure(best) + " bytes",
                                 best);
  }
  return AimError::unreachable("Can't reach " + target_text(target) + " on this signal: the finest reachable is about " +
                                   figure(best),
                               best);
}

// Decodes the container with decompress itself and measures it; a miss (which
// the replica should rule out) shrinks the step and tries again.
template <class T>
std::expected<std::vector<std::uint8_t>, AimError> finish(const Problem<T>& p, Candidate chosen, Target target,
                                                          int level, int fallback_level) {
  const Decomposition& d = *chosen.decomposition;
  Trial trial = std::move(chosen.trial);
  std::size_t searched_bytes = chosen.ranked_bytes;  // payload at fallback_level, 0 if not measured
  Workspace ws;
  for (int attempt = 0; attempt < 8; ++attempt) {
    auto container = assemble(d.method, p.x.size(), trial, level);
    if (!container) return container;
    // A stronger level almost always does better, though not on every tiny or very repetitive stream.
    if (searched_bytes > 0 && header_size + searched_bytes < container->size()) {
      container = assemble(d.method, p.x.size(), trial, fallback_level);
      if (!container) return container;
    }
    searched_bytes = 0;  // a retry has other codes
    if (target.kind == TargetKind::max_bytes && static_cast<double>(container->size()) > target.value) {
      return std::unexpected(unreachable(target, static_cast<double>(container->size())));
    }
    const auto decoded = decompress_block(*container);
    if (!decoded) return std::unexpected(AimError::codec(decoded.error()));
    const double error = p.measure(distortion(p.x, std::span<const float>(decoded->span()), p.facts.unit));
    if (target.kind == TargetKind::max_bytes || error <= p.goal) return container;
    auto retry = try_step(p, d, trial.framing.step * 0.97, trial.rounding, ws);
    if (!retry) return std::unexpected(std::move(retry.error()));
    if (!*retry) break;
    trial = std::move(**retry);
  }
  return std::unexpected(unreachable(target, trial.error + p.margin));
}


// A constant container: every code 0 and range 0, so every decoded sample is
// `value` on any decoder, and no tier margin is needed.
template <class T>
std::expected<std::vector<std::uint8_t>, AimError> encode_constant(const Problem<T>& p, CompressionMethod method,
                                                                   Target target, float value) {
  const auto executor = method_executor(method);
  const auto lengths = executor->dwt_size(std::max(p.x.size(), executor->filter_length()));
  Trial trial{1, Framing{value, value, 0.0f, 12, 0.0}, 0.5f,
              std::vector<std::int16_t>(lengths.approx_length + lengths.details_length), 0.0};
  std::vector<float> decoded(p.x.size(), value);
  trial.error = p.measure(distortion(p.x, std::span<const float>(decoded), p.facts.unit));
  if (target.kind != TargetKind::max_bytes && trial.error > target.value) {
    return std::unexpected(unreachable(target, trial.error));
  }
  const Candidate chosen{nullptr, std::move(trial), 0};
  auto container = assemble(method, p.x.size(), chosen.trial, max_deflate_level);
  if (!container) return container;
  if (target.kind == TargetKind::max_bytes && static_cast<double>(container->size()) > target.value) {
    return std::unexpected(unreachable(target, static_cast<double>(container->size())));
  }
  return container;
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
    return facts.sum_squares > 0
               ? 100.0 * margin * facts.unit / std::sqrt(facts.sum_squares / static_cast<double>(n))
               : 0.0;
  }
  return margin;
}

// Where the step search starts: the max error of nearest rounding is about
// one step (a little under, so that a one-trial search usually meets the
// goal at once), an RMSE between step / sqrt(12) (uniform) and less (many zeros).
template <class T>
double first_guess(const Problem<T>& p, TargetKind kind) {
  switch (kind) {
    case TargetKind::max_error: return 0.85 * p.goal;
    case TargetKind::rmse: return 4.0 * p.goal;
    case TargetKind::prd:
      return 4.0 * p.goal / 100.0 * std::sqrt(p.facts.sum_squares / static_cast<double>(p.x.size())) / p.facts.unit;
    case TargetKind::max_bytes: break;
  }
  return p.half_range / 1024.0;
}

template <class T>
std::expected<std::vector<std::uint8_t>, AimError> aim(std::span<const T> x, Target target, AimOptions options) {
  const auto facts = examine(x);
  if (!facts) return std::unexpected(facts.error());
  if (auto checked = check_target(target); !checked) return std::unexpected(checked.error());
  if (auto checked = check_options(options); !checked) return std::unexpected(checked.error());
  const Plan plan = plan_for(options);
  const double half_range = (facts->highest - facts->lowest) / 2;
  Problem<T> p{x,
               *facts,
               facts->lowest + half_range,
               half_range,
               static_cast<float>(facts->lowest),
               Measure{target.kind, x.size(), facts->sum_squares, facts->unit},
               tier_margin(*facts, target.kind, x.size()),
               0.0};
  p.goal = std::max(target.value - p.margin, 0.0);
  if (half_range == 0.0) return encode_constant(p, plan.methods.front(), target, p.minimum);

  const bool ranked = plan.methods.size() * plan.roundings.size() > 1;
  const int search_level = ranked ? plan.rank_level : plan.final_level;
  std::optional<Candidate> chosen;
  double reachable = std::numeric_limits<double>::infinity();  // finest error, or smallest size, seen
  Workspace ws;
  for (const CompressionMethod method : plan.methods) {
    auto decomposition = decompose(x, method, p.centre, p.half_range);
    if (!decomposition) return std::unexpected(decomposition.error());
    const auto shared = std::make_shared<const Decomposition>(std::move(*decomposition));
    for (const float rounding : plan.roundings) {
      Candidate candidate{shared, {}, 0};
      if (target.kind == TargetKind::max_bytes) {
        auto found = search_size(p, *shared, rounding, target.value, search_level, plan.limits, reachable, ws);
        if (!found) return std::unexpected(found.error());
        if (!*found) continue;
        candidate.trial = std::move((*found)->trial);
        candidate.ranked_bytes = (*found)->bytes;
        // Within the budget, the candidate that decodes closest to the signal wins.
        if (!chosen || candidate.trial.error < chosen->trial.error) chosen = std::move(candidate);
        continue;
      }
      auto found = search_error(p, *shared, rounding, first_guess(p, target.kind), plan.limits, reachable, ws);
      if (!found) return std::unexpected(found.error());
      if (!*found) continue;
      candidate.trial = std::move(**found);
      if (ranked) {
        const auto bytes = payload_size(candidate.trial, plan.rank_level);
        if (!bytes) return std::unexpected(bytes.error());
        candidate.ranked_bytes = *bytes;
      }
      if (!chosen || candidate.ranked_bytes < chosen->ranked_bytes) chosen = std::move(candidate);
    }
  }
  if (!chosen) {
    // A float64 signal whose spread float32 cannot resolve (0.5 + 1e-13, or
    // values below float32's range) leaves no step to search: its float32
    // centre as a constant may still meet the target, and bounds what can be.
    auto constant = encode_constant(p, plan.methods.front(), target, static_cast<float>(p.centre));
    if (constant || constant.error().kind() != AimError::Kind::Unreachable) return constant;
    // The figure named is one the encoder can promise: what it reached plus the tier margin.
    return std::unexpected(unreachable(target, std::min(reachable + p.margin, *constant.error().best_reachable())));
  }
  return finish(p, std::move(*chosen), target, plan.final_level, search_level);
}

}  // namespace

std::expected<std::vector<std::uint8_t>, AimError> compress_aimed(std::span<const float> samples, Target target,
                                                                  AimOptions options) {
  return aim(samples, target, options);
}

std::expected<std::vector<std::uint8_t>, AimError> compress_aimed(std::span<const double> samples, Target target,
                                                                  AimOptions options) {
  return aim(samples, target, options);
}

}  // namespace quorvel
