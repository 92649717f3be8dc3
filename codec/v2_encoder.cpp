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
  return {.effort = options.effort,
          .block_length = std::size_t{1} << options.block_log2,
          .threads = options.threads};
}

std::expected<std::vector<std::uint8_t>, AimError> container(const Header& header,
                                                             std::span<const std::int32_t> codes,
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

// A palette: the sorted distinct codes, when there are few of them (at most a
// quarter of the samples and 65536) with gaps between them, and the codes'
// ranks in it, which then code smaller than the codes themselves.
struct Palette {
  std::vector<std::int32_t> entries;
  Buffer<std::int32_t> ranks;
};

// Codes spanning up to 2^22 values: a bitmap of the values present, and the
// ranks from its prefix counts, in two passes.
constexpr std::int64_t bitmap_span = std::int64_t{1} << 22;

std::optional<Palette> palette_by_bitmap(std::span<const std::int32_t> codes, std::int32_t low,
                                         std::int64_t span, std::size_t most) {
  std::vector<std::uint64_t> present(static_cast<std::size_t>((span + 63) / 64));
  for (const std::int32_t c : codes) {
    const auto v = static_cast<std::uint64_t>(std::int64_t{c} - low);
    present[v / 64] |= std::uint64_t{1} << (v % 64);
  }
  std::vector<std::int32_t> before(present.size());
  std::size_t count = 0;
  for (std::size_t w = 0; w < present.size(); ++w) {
    before[w] = static_cast<std::int32_t>(count);
    count += static_cast<std::size_t>(std::popcount(present[w]));
  }
  // Ranks pay for their palette only where it leaves out much of the span.
  if (count > most || 4 * static_cast<std::int64_t>(count) > 3 * span) return std::nullopt;
  Palette p;
  p.entries.reserve(count);
  for (std::size_t w = 0; w < present.size(); ++w) {
    for (std::uint64_t bits = present[w]; bits != 0; bits &= bits - 1) {
      p.entries.push_back(
          static_cast<std::int32_t>(low + static_cast<std::int64_t>(64 * w) + std::countr_zero(bits)));
    }
  }
  p.ranks.resize(codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const auto v = static_cast<std::uint64_t>(std::int64_t{codes[i]} - low);
    const std::uint64_t below = present[v / 64] & ((std::uint64_t{1} << (v % 64)) - 1);
    p.ranks[i] = before[v / 64] + std::popcount(below);
  }
  return p;
}

// Codes spread wide (float ordinals): sorting, for signals up to 2^20 samples.
std::optional<Palette> palette_by_sorting(std::span<const std::int32_t> codes, std::size_t most) {
  if (codes.size() > (std::size_t{1} << 20)) return std::nullopt;
  std::vector<std::int32_t> entries(codes.begin(), codes.end());
  std::sort(entries.begin(), entries.end());
  entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
  if (entries.size() > most) return std::nullopt;
  Palette p{std::move(entries), Buffer<std::int32_t>(codes.size())};
  for (std::size_t i = 0; i < codes.size(); ++i) {
    p.ranks[i] = static_cast<std::int32_t>(std::lower_bound(p.entries.begin(), p.entries.end(), codes[i]) -
                                           p.entries.begin());
  }
  return p;
}

std::optional<Palette> sparse_palette(std::span<const std::int32_t> codes) {
  const std::size_t most = std::min(max_palette, codes.size() / 4);
  if (most < 2) return std::nullopt;
  std::int32_t low = codes[0], high = codes[0];
  for (const std::int32_t c : codes) {
    low = c < low ? c : low;
    high = c > high ? c : high;
  }
  const std::int64_t span = std::int64_t{high} - low + 1;
  if (span <= bitmap_span) return palette_by_bitmap(codes, low, span, most);
  return palette_by_sorting(codes, most);
}

Buffer<std::int32_t> block_residuals(std::span<const std::int32_t> codes, std::size_t block_length) {
  Buffer<std::int32_t> out(codes.size());
  for (std::size_t start = 0; start < codes.size(); start += block_length) {
    const std::size_t n = std::min(block_length, codes.size() - start);
    interpolation_residuals(codes.subspan(start, n), std::span(out).subspan(start, n));
  }
  return out;
}

}  // namespace

double Measure::operator()(const Distortion& d) const {
  switch (kind) {
    case TargetKind::max_error:
      return d.max_abs;
    case TargetKind::rmse:
      return std::sqrt(d.sum_squares / static_cast<double>(n)) / unit;
    case TargetKind::prd:
      if (signal_sum_squares > 0) return 100.0 * std::sqrt(d.sum_squares / signal_sum_squares);
      return d.sum_squares > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    case TargetKind::max_bytes:
      break;
  }
  return std::sqrt(d.sum_squares / static_cast<double>(n)) / unit;
}

Distortion distortion(const Input& input, std::span<const float> decoded) {
  return std::visit([&](auto x) { return distortion_of(x, decoded, input.unit); }, input.x);
}

Extremes extremes(std::span<const float> y) {
  // Eight running extremes, so that the loop vectorises.
  float low[8], high[8];
  std::fill(std::begin(low), std::end(low), y[0]);
  std::fill(std::begin(high), std::end(high), y[0]);
  std::size_t i = 0;
  for (; i + 8 <= y.size(); i += 8) {
    for (std::size_t k = 0; k < 8; ++k) {
      low[k] = y[i + k] < low[k] ? y[i + k] : low[k];
      high[k] = y[i + k] > high[k] ? y[i + k] : high[k];
    }
  }
  for (; i < y.size(); ++i) {
    low[0] = std::min(low[0], y[i]);
    high[0] = std::max(high[0], y[i]);
  }
  return {*std::min_element(std::begin(low), std::end(low)),
          *std::max_element(std::begin(high), std::end(high))};
}

std::expected<std::vector<std::uint8_t>, AimError> smallest_container(const Codes& codes,
                                                                      const Settings& settings) {
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
      Header with{codes.mode, settings.options.block_log2, n, codes.grid, std::move(palette->entries)};
      keep_smaller(container(with, palette->ranks, {}, settings.options));
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
std::expected<void, AimError> check_finite(std::span<const T> x) {
  for (std::size_t j = 0; j < x.size(); ++j) {
    const double v = x[j];
    if (std::isfinite(v)) continue;
    const char* what = std::isnan(v) ? "NaN" : v > 0 ? "+inf" : "-inf";
    return std::unexpected(
        AimError::invalid_input("Sample " + std::to_string(j) + " is " + what +
                                ": only finite samples can be encoded to an error target"));
  }
  return {};
}

// One pass for the extremes and the sum of squares (NaN and infinities
// surface in the sum), a second only to name a bad sample or, for float64
// samples beyond 1e100 or below 1e-100, to square them scaled.
template <class T>
std::expected<Input, AimError> examine(std::span<const T> x, Buffer<float>& narrowed) {
  if (x.empty()) return std::unexpected(AimError::invalid_input("Can't compress empty data"));
  if (x.size() > max_sample_count) {
    return std::unexpected(AimError::invalid_input("Can't compress data bigger than " +
                                                   std::to_string(max_sample_count) + ", but data was " +
                                                   std::to_string(x.size())));
  }
  double low[4], high[4], sums[4] = {};
  std::fill(std::begin(low), std::end(low), std::numeric_limits<double>::infinity());
  std::fill(std::begin(high), std::end(high), -std::numeric_limits<double>::infinity());
  std::size_t i = 0;
  for (; i + 4 <= x.size(); i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      const double v = x[i + k];
      low[k] = v < low[k] ? v : low[k];
      high[k] = v > high[k] ? v : high[k];
      sums[k] += v * v;
    }
  }
  for (; i < x.size(); ++i) {
    const double v = x[i];
    low[0] = std::min(low[0], v);
    high[0] = std::max(high[0], v);
    sums[0] += v * v;
  }
  const double sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
  if (!std::isfinite(sum)) {
    if (auto finite = check_finite(x); !finite) return std::unexpected(finite.error());
  }
  const double lowest = *std::min_element(std::begin(low), std::end(low));
  const double highest = *std::max_element(std::begin(high), std::end(high));
  const double peak = std::max(std::fabs(lowest), std::fabs(highest));
  if (peak > std::numeric_limits<float>::max()) {
    return std::unexpected(AimError::invalid_input("Samples reach " + figure(peak) +
                                                   ", beyond the largest float32 the decoder can return"));
  }
  Input input;
  input.x = x;
  if (peak > 0) input.unit = std::ldexp(1.0, -std::ilogb(peak));
  if (peak < 1e-100 || peak > 1e100) {
    for (const T v : x) input.signal_sum_squares += (v * input.unit) * (v * input.unit);
  } else {
    input.signal_sum_squares = sum * input.unit * input.unit;
  }
  // float32 rounding keeps order: the extremes of the float32 values are the
  // float32 values of the extremes.
  input.lowest = static_cast<float>(lowest);
  input.highest = static_cast<float>(highest);
  if constexpr (std::is_same_v<T, float>) {
    input.xf = x;
  } else {
    narrowed.assign(x.begin(), x.end());
    input.xf = narrowed;
    input.rounding = distortion(input, input.xf);
  }
  return input;
}

std::expected<void, AimError> check_request(Target target, const EncodeOptions& options) {
  if (target.kind > TargetKind::max_bytes)
    return std::unexpected(AimError::invalid_target("Unknown target kind"));
  if (!std::isfinite(target.value) || target.value < 0) {
    return std::unexpected(
        AimError::invalid_target("Target must be a finite number >= 0, but it was " + figure(target.value)));
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
    case TargetKind::max_error:
      return encode_max_error(input, target.value, Settings{options, false});
    case TargetKind::rmse:
      return encode_rms(input, target.value, Settings{options, true});
    case TargetKind::prd: {
      const double rms = std::sqrt(input.signal_sum_squares / static_cast<double>(input.size())) / input.unit;
      auto container = encode_rms(input, target.value / 100.0 * rms, Settings{options, true});
      if (!container && container.error().kind() == AimError::Kind::Unreachable) {
        const double best = *container.error().best_reachable();
        return std::unexpected(unreachable(target, rms > 0 ? 100.0 * best / rms : best));
      }
      return container;
    }
    case TargetKind::max_bytes:
      return encode_budget(input, target.value, Settings{options, true});
  }
  return std::unexpected(AimError::invalid_target("Unknown target kind"));
}

template <class T>
std::expected<std::vector<std::uint8_t>, AimError> encode_samples(std::span<const T> x, Target target,
                                                                  const EncodeOptions& options) {
  Buffer<float> narrowed;
  const auto input = examine(x, narrowed);
  if (!input) return std::unexpected(input.error());
  if (auto checked = check_request(target, options); !checked) return std::unexpected(checked.error());
  auto container = plan(*input, target, options);
  if (!container) return container;
  // The check: decode with the decoder itself and measure.
  Buffer<float> decoded(input->size());
  if (auto done = decode_into(*container, 0, decoded, options.threads); !done) {
    return std::unexpected(AimError::codec(done.error()));
  }
  const Measure measure{target.kind, input->size(), input->signal_sum_squares, input->unit};
  const double figure = measure(distortion(*input, decoded));
  if (target.kind == TargetKind::max_bytes ? static_cast<double>(container->size()) <= target.value
                                           : figure <= target.value) {
    return container;
  }
  return std::unexpected(unreachable(
      target, target.kind == TargetKind::max_bytes ? static_cast<double>(container->size()) : figure));
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
