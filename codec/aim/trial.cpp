// codec/aim/trial.cpp: the aimed encoder's trials: one transform per method, then a step quantised and decoded by the decoder.
#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>

#include "codec/aim/stages.hpp"
#include "codec/v1/deflate.hpp"
#include "codec/v1/wavelet.hpp"

namespace quorvel::aim_stages {

namespace {

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

// z = (x - centre) / divisor in float32. Signals shorter than the filter
// repeat up to its length, as the decoder's band sizes expect.
template <class T>
std::vector<float> centred(std::span<const T> x, std::size_t length, double centre, double divisor) {
  std::vector<float> z;
  resize_buffer(z, length);
  const double inverse = divisor > 0 ? 1.0 / divisor : 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) z[i] = static_cast<float>((static_cast<double>(x[i]) - centre) * inverse);
  for (std::size_t i = x.size(); i < z.size(); ++i) z[i] = z[i % x.size()];
  return z;
}

// The framing whose step is nearest `wanted`, or none when the float32 header
// cannot express it (finer than the minimum's precision, or overflowing).
std::optional<Framing> frame(double wanted, float minimum, double centre) {
  for (int scale = max_scale; scale >= min_scale; --scale) {
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

// Codes are sign(v) * floor(|v| + rounding) with v the coefficient in steps:
// rounding 0.5 is round-to-nearest, smaller values widen the zero bin (a
// dead-zone: more zeros for DEFLATE at the price of a larger error).
std::int16_t* quantise_band(std::span<const float> band, float gain, float rounding, std::int16_t* codes) {
  for (std::size_t i = 0; i < band.size(); ++i) {
    const float v = band[i] * gain;
    // Truncation is floor here (the sum is never negative), and cvttps2dq vectorises where floorf would not.
    const auto magnitude = static_cast<std::int32_t>(std::min(std::fabs(v) + rounding, 32767.0f));
    codes[i] = static_cast<std::int16_t>(v < 0.0f ? -magnitude : magnitude);
  }
  return codes + band.size();
}

// Largest level count whose bands fit int16 at this step; 0 if none does.
std::size_t levels_for(const Decomposition& d, float gain) {
  std::size_t levels = d.peaks.size();
  while (levels > 0 && d.peaks[levels - 1] * gain > largest_code) --levels;
  return levels;
}

// Quantises `d` with a framing and decodes the codes as decompress does.
std::expected<Trial, QuorvelError> try_framing(const Problem& p, const Decomposition& d, const Framing& framing,
                                               std::size_t levels, float rounding, Workspace& ws) {
  const auto used = std::span(d.bands.levels).first(levels);
  const decoder_stages::BandLayout& layout = d.layouts[levels - 1];
  Trial trial{levels, framing, rounding, std::move(ws.spare_codes), 0.0};
  resize_buffer(trial.codes, layout.total);
  const auto gain = static_cast<float>(d.divisor / framing.step);
  std::int16_t* codes = quantise_band(used.back().approximations, gain, rounding, trial.codes.data());
  for (const auto& level : used) codes = quantise_band(level.details, gain, rounding, codes);

  resize_buffer(ws.samples, layout.reconstruction_length);
  const auto decoded =
      decoder_stages::reconstruct(*d.executor, layout, trial.codes, header_of(d.method, p.n, trial), ws.samples);
  if (!decoded) return std::unexpected(decoded.error());
  trial.error = p.measure(distortion(p.x, std::span<const float>(ws.samples).first(p.n), p.facts.unit));
  return trial;
}

}  // namespace

std::expected<Decomposition, QuorvelError> decompose(const Problem& p, CompressionMethod method, double divisor) {
  auto executor = method_executor(method);
  const std::size_t length = std::max(p.n, executor->filter_length());
  const auto z = std::visit([&](auto x) { return centred(x, length, p.centre, divisor); }, p.x);
  auto bands = executor->multi_dwt(z, possible_levels(*executor, z.size()));
  if (!bands) return std::unexpected(QuorvelError::transform_failed(bands.error().message()));
  Decomposition d{method, divisor, std::move(executor), std::move(*bands), {}, {}};
  float detail_peak = 0.0f;
  for (const auto& level : d.bands.levels) {
    detail_peak = std::max(detail_peak, peak_of(level.details));
    d.peaks.push_back(std::max(detail_peak, peak_of(level.approximations)));
    auto layout = decoder_stages::band_layout(*d.executor, p.n, d.peaks.size());
    if (!layout) return std::unexpected(layout.error());
    d.layouts.push_back(std::move(*layout));
  }
  return d;
}

double step_cap(float minimum) {
  return std::ldexp(std::min(float_max, float_max - std::max(0.0, static_cast<double>(minimum))) * 0.999, -6);
}

ContainerHeader header_of(CompressionMethod method, std::size_t n, const Trial& trial) {
  return {method,
          static_cast<std::uint8_t>(trial.levels),
          trial.framing.scale,
          static_cast<std::uint32_t>(n),
          trial.framing.minimum,
          trial.framing.maximum,
          trial.framing.mean,
          0};
}

std::expected<std::optional<Trial>, QuorvelError> try_step(const Problem& p, const Decomposition& d, double step,
                                                           float rounding, Workspace& ws, std::size_t levels) {
  const auto framing = frame(step, p.minimum, p.centre);
  if (!framing) return std::optional<Trial>{};
  const std::size_t fitting = levels_for(d, static_cast<float>(d.divisor / framing->step));
  if (fitting == 0 || levels > fitting) return std::optional<Trial>{};
  auto trial = try_framing(p, d, *framing, levels == 0 ? fitting : levels, rounding, ws);
  if (!trial) return std::unexpected(std::move(trial.error()));
  return std::optional<Trial>{std::move(*trial)};
}

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

std::expected<std::size_t, QuorvelError> payload_size(const Trial& trial, int level) {
  std::vector<std::uint8_t> scratch;
  const auto payload = raw_deflate(stream_bytes(trial.codes, scratch), level, 0);
  if (!payload) return std::unexpected(payload.error());
  return payload->size();
}

}  // namespace quorvel::aim_stages
