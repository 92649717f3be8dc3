// codec/settings.cpp: settings to a container, through the aimed or the plain encoder.
#include "codec/settings.hpp"

#include <cmath>
#include <string>
#include <type_traits>

#include "codec/compressor.hpp"

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

std::expected<std::vector<std::uint8_t>, QuorvelError> encode(std::span<const float> samples,
                                                             const Settings& settings) {
  return encode_with(samples, settings);
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode(std::span<const double> samples,
                                                             const Settings& settings) {
  return encode_with(samples, settings);
}

}  // namespace quorvel
