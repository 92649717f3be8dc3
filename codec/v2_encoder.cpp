// codec/v2_encoder.cpp: the version-2 encoder's input, containers of codes, and the check by decoding.
#include "codec/v2_encoder.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "codec/bytes.hpp"
#include "codec/float_ordinal.hpp"
#include "codec/interpolation.hpp"
#include "codec/sequence_coder.hpp"
#include "codec/v2_decoder.hpp"
#include "codec/v2_stages.hpp"

namespace quorvel::v2 {

namespace stages {

namespace {

std::string figure(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// ---------------------------------------------------------------- containers

SequenceCoding sequence_coding(const EncodeOptions& options) {
  return {.effort = options.effort, .block_length = std::size_t{1} << options.block_log2, .threads = options.threads};
}

std::expected<std::vector<std::uint8_t>, AimError> container(const Header& header, std::span<const std::int32_t> codes,
                                                             std::span<const std::int32_t> corrections,
                                                             const EncodeOptions& options) {
  const SequenceCoding coding = sequence_coding(options);
  auto blocks = encode_sequence(codes, coding);
  if (!blocks) return std::unexpected(AimError::codec(blocks.error()));
  if (header.mode == Mode::corrected) {
    auto second = encode_sequence(corrections, coding);
    if (!second) return std::unexpected(AimError::codec(second.error()));
    for (std::size_t b = 0; b < blocks->size(); ++b) {
      std::vector<std::uint8_t> joined;
      ByteWriter w(joined);
      w.leb128((*blocks)[b].size());
      w.bytes((*blocks)[b]);
      w.bytes((*second)[b]);
      (*blocks)[b] = std::move(joined);
    }
  }
  auto bytes = assemble(header, *blocks);
  if (!bytes) return std::unexpected(AimError::codec(bytes.error()));
  return std::move(*bytes);
}

// The sorted distinct codes when there are few of them (at most a quarter of
// the samples and 65536) with gaps between them; ranks into them then code
// smaller than the codes themselves.
std::optional<std::vector<std::int32_t>> sparse_palette(std::span<const std::int32_t> codes) {
  const std::size_t most = std::min(max_palette, codes.size() / 4);
  if (most < 2) return std::nullopt;
  // A sample of the codes rules most signals out at once.
  std::vector<std::int32_t> distinct(codes.begin(), codes.begin() + std::min<std::size_t>(codes.size(), 4 * most));
  for (int round = 0; round < 2; ++round) {
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    if (distinct.size() > most) return std::nullopt;
    if (round == 0) distinct.insert(distinct.end(), codes.begin(), codes.end());
  }
  const std::int64_t span = std::int64_t{distinct.back()} - distinct.front() + 1;
  if (static_cast<std::int64_t>(distinct.size()) == span) return std::nullopt;  // no gaps: ranks are the codes
  return distinct;
}

std::vector<std::int32_t> ranks(std::span<const std::int32_t> codes, std::span<const std::int32_t> palette) {
  std::vector<std::int32_t> out(codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) {
    out[i] = static_cast<std::int32_t>(std::lower_bound(palette.begin(), palette.end(), codes[i]) - palette.begin());
  }
  return out;
}

std::vector<std::int32_t> block_residuals(std::span<const std::int32_t> codes, std::size_t block_length) {
  std::vector<std::int32_t> out(codes.size());
  for (std::size_t start = 0; start < codes.size(); start += block_length) {
    const std::size_t n = std::min(block_length, codes.size() - start);
    interpolation_residuals(codes.subspan(start, n), std::span(out).subspan(start, n));
  }
  return out;
}

}  // namespace

double Measure::operator()(const Distortion& d) const {
  switch (kind) {
    case TargetKind::max_error: return d.max_abs;
    case TargetKind::rmse: return std::sqrt(d.sum_squares / static_cast<double>(n)) / unit;
    case TargetKind::prd:
      if (signal_sum_squares > 0) return 100.0 * std::sqrt(d.sum_squares / signal_sum_squares);
      return d.sum_squares > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    case TargetKind::max_bytes: break;
  }
  return std::sqrt(d.sum_squares / static_cast<double>(n)) / unit;
}

Distortion distortion(const Input& input, std::span<const float> decoded) {
  return std::visit(
      [&](auto x) {
        Distortion d;
        for (std::size_t i = 0; i < x.size(); ++i) {
          const double e = static_cast<double>(decoded[i]) - static_cast<double>(x[i]);
          d.max_abs = std::max(d.max_abs, std::fabs(e));
          d.sum_squares += (e * input.unit) * (e * input.unit);
        }
        return d;
      },
      input.x);
}

Extremes extremes(std::span<const float> y) {
  const auto [low, high] = std::minmax_element(y.begin(), y.end());
  return {*low, *high};
}

Codes lossless_codes(std::span<const float> y, const std::optional<Grid>& detected,
                     std::vector<std::int32_t>&& detected_codes) {
  if (detected) return Codes{Mode::grid, *detected, std::move(detected_codes), {}};
  Codes c{Mode::ordinals, {}, std::vector<std::int32_t>(y.size()), {}};
  for (std::size_t i = 0; i < y.size(); ++i) c.codes[i] = float_ordinal(y[i]);
  return c;
}

std::expected<std::vector<std::uint8_t>, AimError> smallest_container(const Codes& codes, const Settings& settings) {
  const auto n = static_cast<std::uint32_t>(codes.codes.size());
  Header header{codes.mode, settings.options.block_log2, n, codes.grid, {}};
  auto best = container(header, codes.codes, codes.corrections, settings.options);
  if (!best || settings.options.effort == Effort::fast) return best;
  const auto keep_smaller = [&best](std::expected<std::vector<std::uint8_t>, AimError> other) {
    if (!other) return;
    if (other->size() < best->size()) best = std::move(other);
  };
  if (allows_palette(codes.mode)) {
    if (auto palette = sparse_palette(codes.codes)) {
      const auto coded = ranks(codes.codes, *palette);
      Header with{codes.mode, settings.options.block_log2, n, codes.grid, std::move(*palette)};
      keep_smaller(container(with, coded, {}, settings.options));
    }
  }
  if (settings.interpolated && codes.mode == Mode::grid) {
    const auto residuals = block_residuals(codes.codes, header.block_length());
    Header interpolated{Mode::interpolated, settings.options.block_log2, n, codes.grid, {}};
    keep_smaller(container(interpolated, residuals, {}, settings.options));
  }
  return best;
}

AimError unreachable(Target target, double best) {
  if (target.kind == TargetKind::max_bytes) {
    return AimError::unreachable("Can't fit this signal in " + figure(target.value) +
                                     " bytes: the smallest container for it takes " + figure(best) + " bytes",
                                 best);
  }
  const char* what = target.kind == TargetKind::max_error ? "a max error of "
                     : target.kind == TargetKind::rmse    ? "an RMSE of "
                                                          : "a PRD of ";
  const std::string unit = target.kind == TargetKind::prd ? " %" : "";
  return AimError::unreachable("Can't reach " + std::string(what) + figure(target.value) + unit +
                                   " on this signal: the finest reachable is about " + figure(best) + unit,
                               best);
}

}  // namespace stages

namespace {

using namespace stages;

template <class T>
std::expected<Input, AimError> examine(std::span<const T> x, std::vector<float>& narrowed) {
  if (x.empty()) return std::unexpected(AimError::invalid_input("Can't compress empty data"));
  if (x.size() > max_sample_count) {
    return std::unexpected(AimError::invalid_input("Can't compress data bigger than " +
                                                   std::to_string(max_sample_count) + ", but data was " +
                                                   std::to_string(x.size())));
  }
  Input input;
  input.x = x;
  double peak = 0.0;
  for (std::size_t j = 0; j < x.size(); ++j) {
    const double v = x[j];
    if (!std::isfinite(v)) {
      const char* what = std::isnan(v) ? "NaN" : v > 0 ? "+inf" : "-inf";
      return std::unexpected(AimError::invalid_input("Sample " + std::to_string(j) + " is " + what +
                                                     ": only finite samples can be encoded to an error target"));
    }
    peak = std::max(peak, std::fabs(v));
  }
  if (peak > std::numeric_limits<float>::max()) {
    return std::unexpected(AimError::invalid_input("Samples reach " + figure(peak) +
                                                   ", beyond the largest float32 the decoder can return"));
  }
  if (peak > 0) input.unit = std::ldexp(1.0, -std::ilogb(peak));
  if constexpr (std::is_same_v<T, float>) {
    input.xf = x;
  } else {
    narrowed.assign(x.begin(), x.end());
    input.xf = narrowed;
  }
  const Extremes ex = extremes(input.xf);
  input.lowest = ex.lowest;
  input.highest = ex.highest;
  for (const T v : x) input.signal_sum_squares += (v * input.unit) * (v * input.unit);
  if constexpr (!std::is_same_v<T, float>) input.rounding = distortion(input, input.xf);
  return input;
}

std::expected<void, AimError> check_request(Target target, const EncodeOptions& options) {
  if (target.kind > TargetKind::max_bytes) return std::unexpected(AimError::invalid_target("Unknown target kind"));
  if (!std::isfinite(target.value) || target.value < 0) {
    return std::unexpected(AimError::invalid_target("Target must be a finite number >= 0, but it was " +
                                                    figure(target.value)));
  }
  if (options.effort > Effort::best) {
    return std::unexpected(
        AimError::invalid_options("Unknown effort code " + std::to_string(static_cast<int>(options.effort))));
  }
  if (options.block_log2 < min_block_log2 || options.block_log2 > max_block_log2) {
    return std::unexpected(AimError::invalid_options("Block length 2^" + std::to_string(options.block_log2) +
                                                     " outside 2^8 to 2^16"));
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, AimError> plan(const Input& input, Target target,
                                                        const EncodeOptions& options) {
  switch (target.kind) {
    case TargetKind::max_error: return encode_max_error(input, target.value, Settings{options, false});
    case TargetKind::rmse: return encode_rms(input, target.value, Settings{options, true});
    case TargetKind::prd: {
      const double rms = std::sqrt(input.signal_sum_squares / static_cast<double>(input.size())) / input.unit;
      auto container = encode_rms(input, target.value / 100.0 * rms, Settings{options, true});
      if (!container && container.error().kind() == AimError::Kind::Unreachable) {
        const double best = *container.error().best_reachable();
        return std::unexpected(unreachable(target, rms > 0 ? 100.0 * best / rms : best));
      }
      return container;
    }
    case TargetKind::max_bytes: return encode_budget(input, target.value, Settings{options, true});
  }
  return std::unexpected(AimError::invalid_target("Unknown target kind"));
}

template <class T>
std::expected<std::vector<std::uint8_t>, AimError> encode_samples(std::span<const T> x, Target target,
                                                                  const EncodeOptions& options) {
  std::vector<float> narrowed;
  const auto input = examine(x, narrowed);
  if (!input) return std::unexpected(input.error());
  if (auto checked = check_request(target, options); !checked) return std::unexpected(checked.error());
  auto container = plan(*input, target, options);
  if (!container) return container;
  // The check: decode with the decoder itself and measure.
  auto decoded = decode(*container, options.threads);
  if (!decoded) return std::unexpected(AimError::codec(decoded.error()));
  const Measure measure{target.kind, input->size(), input->signal_sum_squares, input->unit};
  const double figure = measure(distortion(*input, *decoded));
  if (target.kind == TargetKind::max_bytes ? static_cast<double>(container->size()) <= target.value
                                           : figure <= target.value) {
    return container;
  }
  return std::unexpected(unreachable(target, target.kind == TargetKind::max_bytes
                                                 ? static_cast<double>(container->size())
                                                 : figure));
}

}  // namespace

std::expected<std::vector<std::uint8_t>, AimError> encode(std::span<const float> samples, Target target,
                                                         const EncodeOptions& options) {
  return encode_samples(samples, target, options);
}

std::expected<std::vector<std::uint8_t>, AimError> encode(std::span<const double> samples, Target target,
                                                         const EncodeOptions& options) {
  return encode_samples(samples, target, options);
}

}  // namespace quorvel::v2
