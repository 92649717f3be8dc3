// codec/v1/compressor.cpp: sanitise, normalise, transform, quantise, DEFLATE.
#include "codec/v1/compressor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "codec/v1/deflate.hpp"
#include "codec/v1/wavelet.hpp"
#include "rimble/err.hpp"
#include "rimble/memory.hpp"

namespace quorvel {

std::size_t compute_max_levels(std::size_t length, std::size_t filter_length) {
  if (filter_length == 0) rimble::fatal("compute_max_levels: filter length 0");
  if (length < filter_length) return 1;
  // Lengths never exceed 2^31 - 1 here, so the 32-bit quotient is the exact one.
  const auto divisor = static_cast<std::uint32_t>(filter_length);
  if (divisor == 0) rimble::fatal("compute_max_levels: filter length has no low 32 bits");
  const std::uint32_t q = static_cast<std::uint32_t>(length) / divisor;
  const int log2_q = std::bit_width(q) - 1;  // floor(log2(q)); -1 for q = 0
  return static_cast<std::size_t>(std::clamp(log2_q, 1, 8));
}

namespace encoder_stages {

namespace {

// Ranges at or below the binary32 value nearest 1e-5 (bits 0x3727C5AC) count as
// a constant signal: dividing by them would only amplify rounding noise.
constexpr float constant_range = 1e-5f;
static_assert(std::bit_cast<std::uint32_t>(constant_range) == 0x3727C5AC);

// Dead-zone base thresholds for scales 6..12, in quantisation steps.
constexpr std::uint16_t base_threshold[] = {0, 0, 1, 1, 2, 2, 3};

std::uint16_t dead_zone_threshold(std::uint8_t scale, CutoffLevel cutoff) {
  const std::uint16_t base = base_threshold[scale - 6];
  switch (cutoff) {
    case CutoffLevel::low: return base;
    case CutoffLevel::medium: return static_cast<std::uint16_t>(3 * base);
    default: return static_cast<std::uint16_t>(7 * base);
  }
}

// v * q held to [-32768, 32767], then truncated toward zero. Each clamp keeps
// its bound unless the comparison holds, so NaN turns into 32767 and never
// reaches the float-to-integer conversion (which would be undefined).
inline std::int16_t quantise(float v, float q) {
  float t = v * q;
  t = t < 32767.0f ? t : 32767.0f;
  t = t > -32768.0f ? t : -32768.0f;
  return static_cast<std::int16_t>(t);
}

// Quantise, dead-zone and store one band as little-endian 16-bit integers in
// one pass. Magnitudes compare as unsigned 16-bit, |-32768| being 32768; a
// threshold of 0 leaves every coefficient as quantised.
void write_band(std::span<const float> band, float q, std::uint16_t threshold, std::uint8_t* out) {
  for (std::size_t i = 0; i < band.size(); ++i) {
    std::int16_t c = quantise(band[i], q);
    const auto magnitude = static_cast<std::uint16_t>(c < 0 ? -static_cast<std::int32_t>(c) : c);
    if (magnitude < threshold) c = 0;
    const auto bits = static_cast<std::uint16_t>(c);
    out[2 * i] = static_cast<std::uint8_t>(bits);
    out[2 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
  }
}

}  // namespace

namespace {

struct Statistics {
  float minimum;
  float maximum;
  float mean;
};

// The sanitised, normalised, centred samples into w (n values), and their
// statistics.
std::expected<Statistics, QuorvelError> normalise_into(std::span<const float> samples, float* w) {
  const std::size_t n = samples.size();
  float minimum = std::numeric_limits<float>::infinity();
  float maximum = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    float x = samples[i];
    if (!std::isfinite(x)) x = x == std::numeric_limits<float>::infinity() ? 1.0f : 0.0f;
    w[i] = x;
    minimum = x < minimum ? x : minimum;
    maximum = x > maximum ? x : maximum;
  }

  const float range = maximum - minimum;
  if (std::isinf(range)) {
    // 1 / range would be 0 and (x - minimum) * 0 NaN for the extreme samples:
    // no sound container exists for such input, since the decoder scales back
    // by the same overflowing range.
    return std::unexpected(QuorvelError::unsupported_configuration(
        "Can't compress data whose range (maximum - minimum) overflows 32-bit floats"));
  }
  if (!(range > constant_range)) {
    std::fill(w, w + n, 0.0f);
    return Statistics{minimum, maximum, 0.0f};
  }
  const float inv = 1.0f / range;
  float sum = 0.0f;  // sequential on purpose: the mean must not depend on the build
  for (std::size_t i = 0; i < n; ++i) {
    const float v = (w[i] - minimum) * inv;
    w[i] = v;
    sum += v;
  }
  const float mean = sum / static_cast<float>(n);
  for (std::size_t i = 0; i < n; ++i) w[i] -= mean;
  return Statistics{minimum, maximum, mean};
}

}  // namespace

std::expected<NormalisedSignal, QuorvelError> sanitise_and_normalise(std::span<const float> samples) {
  NormalisedSignal out;
  out.samples.reserve(samples.size());
  rimble::advise_huge_pages(out.samples.data(), samples.size() * sizeof(float));
  out.samples.resize(samples.size());
  const auto statistics = normalise_into(samples, out.samples.data());
  if (!statistics) return std::unexpected(statistics.error());
  out.minimum = statistics->minimum;
  out.maximum = statistics->maximum;
  out.mean = statistics->mean;
  return out;
}

std::size_t plan_levels(std::size_t n, std::size_t filter_length) {
  if (n < 20) return 1;
  if (n < 40) return 2;
  if (n < 60) return 3;
  if (n < 80) return 4;
  return compute_max_levels(n, filter_length);
}

std::expected<std::vector<std::uint8_t>, QuorvelError> serialise_coefficients(const rimble::MultiDwt<float>& bands,
                                                                              std::uint8_t scale,
                                                                              CutoffLevel cutoff) {
  const auto& approximation = bands.levels.back().approximations;
  std::size_t detail_count = 0;
  for (const auto& level : bands.levels) detail_count += level.details.size();

  std::vector<std::uint8_t> stream;
  try {
    const std::size_t bytes = 2 * (approximation.size() + detail_count);
    stream.reserve(bytes);
    rimble::advise_huge_pages(stream.data(), bytes);
    stream.resize(bytes);
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuorvelError::out_of_memory(detail_count));
  } catch (const std::length_error&) {
    return std::unexpected(QuorvelError::out_of_memory(detail_count));
  }

  const float q = static_cast<float>(1u << scale);
  std::uint8_t* out = stream.data();
  write_band(approximation, q, 0, out);
  out += 2 * approximation.size();
  const std::uint16_t threshold = dead_zone_threshold(scale, cutoff);
  for (const auto& level : bands.levels) {
    write_band(level.details, q, threshold, out);
    out += 2 * level.details.size();
  }
  return stream;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> deflate(std::span<const std::uint8_t> stream,
                                                               std::size_t prefix) {
  return raw_deflate(stream, reference_deflate_level, prefix);
}

}  // namespace encoder_stages

std::expected<std::vector<std::uint8_t>, QuorvelError> compress(std::span<const float> samples,
                                                                CompressionOptions options) {
  using namespace encoder_stages;
  const std::size_t n = samples.size();
  if (const auto problem = unencodable_count(n)) {
    return std::unexpected(QuorvelError::unsupported_configuration(*problem));
  }
  // The options class never builds other scales; a hand-made record must not
  // index past the threshold table.
  if (options.scale() < min_scale || options.scale() > max_scale) {
    return std::unexpected(QuorvelError::unsupported_scale(options.scale()));
  }

  const auto executor = method_executor(options.method());
  const std::size_t filter_length = executor->filter_length();
  // The working signal is dropped after the transform.
  const std::size_t working_length = std::max(n, filter_length);
  const rimble::WorkingMemory<float> lease(working_length);
  if (lease.data() == nullptr) return std::unexpected(QuorvelError::out_of_memory(working_length));
  const auto statistics = normalise_into(samples, lease.data());
  if (!statistics) return std::unexpected(statistics.error());
  const std::span<float> working(lease.data(), working_length);
  // Signals shorter than the filter repeat from their start up to its length.
  for (std::size_t i = n; i < filter_length; ++i) working[i] = working[i % n];

  const std::size_t levels = plan_levels(n, filter_length);
  auto bands = executor->multi_dwt(working, levels);
  if (!bands) return std::unexpected(QuorvelError::transform_failed(bands.error().message()));
  if (bands->levels.empty()) {
    return std::unexpected(QuorvelError::transform_failed("Internal DWT returned zero levels, what shouldn't happen"));
  }
  const auto stream = serialise_coefficients(*bands, options.scale(), options.cutoff());
  if (!stream) return std::unexpected(stream.error());
  // The float bands take twice the stream's memory: drop them before DEFLATE
  // allocates its own tables and output.
  bands->levels = {};
  const ContainerHeader header{options.method(),    static_cast<std::uint8_t>(levels), options.scale(),
                               static_cast<std::uint32_t>(n), statistics->minimum,      statistics->maximum,
                               statistics->mean,    0};
  return assemble_container(header, *stream, reference_deflate_level);
}

}  // namespace quorvel
