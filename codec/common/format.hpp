// codec/common/format.hpp: what the container versions share: the magic, the table of versions and the
// limit on samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quorvel {

// Every container starts with the magic and then its version (uint16, little-endian), by which a decoder
// tells the versions apart (codec/front/decode.hpp) and refuses the ones it does not read.
inline constexpr std::array<std::uint8_t, 4> header_magic = {'Q', 'R', 'V', 'L'};

// The versions, oldest first: 1, wavelet coefficients through DEFLATE (codec/v1/container.hpp), which the
// quorvel module and every decoder read; 2, codes through the sequence coder (codec/v2/container.hpp),
// smaller and made for a target.
inline constexpr std::uint16_t header_version = 1;
namespace v2 {
inline constexpr std::uint16_t version = 2;
}  // namespace v2
inline constexpr std::uint16_t first_format = header_version;
// Not a version: asks the encoder to choose (codec/front/settings.hpp).
inline constexpr std::uint16_t auto_format = 0;
inline constexpr std::uint16_t last_format = v2::version;

// The most samples a container of either version holds.
inline constexpr std::uint32_t max_sample_count = 2147483647;

// Why `count` samples cannot go into a container, if they cannot: the encoders' refusal of an empty or an
// oversized signal.
[[nodiscard]] inline std::optional<std::string> unencodable_count(std::size_t count) {
  if (count == 0) return "Can't compress empty data";
  if (count > max_sample_count) {
    return "Can't compress data bigger than " + std::to_string(max_sample_count) + ", but data was " +
           std::to_string(count);
  }
  return std::nullopt;
}

}  // namespace quorvel
