// codec/front/settings.cpp: settings to a container, through the aimed or the plain encoder.
#include "codec/front/settings.hpp"

#include <cmath>
#include <string>
#include <type_traits>

#include "codec/v1/compressor.hpp"
#include "codec/v2/encoder.hpp"

namespace quorvel {

namespace {

// The samples as the plain encoder takes them: float32, every value in range.
std::expected<std::vector<float>, QuorvelError> as_float32(std::span<const double> samples) {
  std::vector<float> out(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    out[i] = static_cast<float>(samples[i]);
    if (std::isinf(out[i]) && std::isfinite(samples[i])) {
      return std::unexpected(QuorvelError::invalid_input("sample " + std::to_string(i) + " (" +
                                                         std::to_string(samples[i]) + ") is beyond the float32 range"));
    }
  }
  return out;
}

template <class T>
std::expected<std::vector<std::uint8_t>, QuorvelError> encode_with(std::span<const T> samples,
                                                                   const Settings& settings) {
  if (auto checked = check_format(settings); !checked) return std::unexpected(checked.error());
  if (chosen_format(settings) == v2::version) {
    return v2::encode(samples, *settings.target, {.effort = settings.aim.effort, .threads = settings.threads});
  }
  if (settings.target) return compress_aimed(samples, *settings.target, settings.aim);
  if constexpr (std::is_same_v<T, float>) {
    return compress(samples, settings.fixed);
  } else {
    const auto narrowed = as_float32(samples);
    if (!narrowed) return std::unexpected(narrowed.error());
    return compress(*narrowed, settings.fixed);
  }
}

}  // namespace

std::uint16_t chosen_format(const Settings& settings) {
  if (settings.format != auto_format) return settings.format;
  return settings.target && !settings.aim.method ? v2::version : header_version;
}

std::expected<void, QuorvelError> check_format(const Settings& settings) {
  if (settings.format == auto_format) return {};
  if (settings.format < first_format || settings.format > last_format) {
    return std::unexpected(QuorvelError::invalid_options("Unknown container format " +
                                                         std::to_string(settings.format) + ", expected 1 or 2"));
  }
  if (settings.format == 2 && !settings.target) {
    return std::unexpected(QuorvelError::invalid_options(
        "Version-2 containers are encoded to a target; fixed method, scale and cutoff write version 1"));
  }
  if (settings.format == 2 && settings.aim.method) {
    return std::unexpected(QuorvelError::invalid_options(
        "Version-2 containers use no wavelet, so no method can be asked of them"));
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode(std::span<const float> samples,
                                                             const Settings& settings) {
  return encode_with(samples, settings);
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode(std::span<const double> samples,
                                                             const Settings& settings) {
  return encode_with(samples, settings);
}

}  // namespace quorvel
