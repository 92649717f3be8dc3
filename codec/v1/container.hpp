// codec/v1/container.hpp: the container format: its limits, the options record, the 52-byte header
// (parsed, assembled), and how decoded values become samples.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "codec/common/error.hpp"
#include "codec/common/format.hpp"
#include "codec/common/vocabulary.hpp"
#include "rimble/records.hpp"

namespace quorvel {

// Method, cutoff and scale packed into one 32-bit value: cutoff in bits 0-7,
// method in bits 8-15, scale in bits 16-23, the top byte zero. The producer
// (the options class) guarantees a known method and a scale in 6..12.
class CompressionOptions {
 public:
  // cdf97, scale 11, cutoff low.
  static constexpr std::uint32_t default_packed = 0x0B0100;

  constexpr CompressionOptions() = default;
  constexpr explicit CompressionOptions(std::uint32_t packed) : packed_(packed) {}
  constexpr CompressionOptions(CompressionMethod method, std::uint8_t scale, CutoffLevel cutoff)
      : packed_(std::uint32_t{static_cast<std::uint8_t>(cutoff)} |
                std::uint32_t{static_cast<std::uint8_t>(method)} << 8 | std::uint32_t{scale} << 16) {}

  [[nodiscard]] constexpr CutoffLevel cutoff() const { return static_cast<CutoffLevel>(packed_ & 0xFF); }
  [[nodiscard]] constexpr CompressionMethod method() const {
    return static_cast<CompressionMethod>((packed_ >> 8) & 0xFF);
  }
  [[nodiscard]] constexpr std::uint8_t scale() const { return static_cast<std::uint8_t>((packed_ >> 16) & 0xFF); }
  [[nodiscard]] constexpr std::uint32_t packed() const { return packed_; }

  friend constexpr bool operator==(CompressionOptions, CompressionOptions) = default;

 private:
  std::uint32_t packed_ = default_packed;
};

inline constexpr std::size_t header_size = 52;
inline constexpr std::size_t max_levels = 10;
inline constexpr std::uint8_t min_scale = 6;
inline constexpr std::uint8_t max_scale = 12;
inline constexpr std::array<std::uint8_t, 2> header_format_tag = {'f', '3'};
// At most 258 bytes per 2 bits (a length code and a distance code of one bit
// each): no raw DEFLATE stream of L bytes inflates to more than 1032 L bytes.
inline constexpr std::uint64_t max_deflate_ratio = 1032;

// The container header, field by field as stored (little-endian on disk).
struct QuorvelHeader {
  std::array<std::uint8_t, 4> magic;
  std::uint16_t version;
  std::array<std::uint8_t, 2> format_tag;
  std::array<std::uint8_t, 4> method_tag;
  std::uint8_t levels;
  std::uint8_t scale;
  std::uint16_t reserved;
  std::uint32_t sample_count;
  float minimum;
  float maximum;
  float mean;
  std::uint32_t payload_length;
  std::array<std::uint8_t, 16> reserved_bytes;

  // Parses the first 52 bytes of a container. Checks, in order: length, magic,
  // version, format tag, method tag, finiteness of minimum, maximum and mean.
  // Levels, scale, sample count and payload length are left to the decoder.
  [[nodiscard]] static std::expected<QuorvelHeader, QuorvelError> from_bytes(std::span<const std::uint8_t> bytes);

  // The 52 bytes of this header as the container stores them.
  [[nodiscard]] std::array<std::uint8_t, header_size> to_bytes() const;

  friend bool operator==(const QuorvelHeader&, const QuorvelHeader&) = default;
};

// A header as the codec reads and writes it: the method as an enumerator, the
// fixed fields (magic, version, format tag, reserved bytes) implied.
struct ContainerHeader {
  CompressionMethod method;
  std::uint8_t levels;
  std::uint8_t scale;
  std::uint32_t sample_count;
  float minimum;
  float maximum;
  float mean;
  std::uint32_t payload_length;

  // QuorvelHeader::from_bytes, with its checks, and the method its tag names.
  [[nodiscard]] static std::expected<ContainerHeader, QuorvelError> parse(std::span<const std::uint8_t> bytes);
  [[nodiscard]] std::array<std::uint8_t, header_size> to_bytes() const;
};

// A container: `header` (its payload length aside) in front of the raw DEFLATE
// of `stream` (the coefficients, int16 little-endian) at `level`.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> assemble_container(
    ContainerHeader header, std::span<const std::uint8_t> stream, int level);

// Samples are ((y + mean) * (maximum - minimum)) + minimum of the inverse
// transform's y, each operation rounded to float. With header statistics below
// 2^62 in magnitude that cannot overflow (reconstructions stay far below
// 2^40), and the transform applies it as it writes each sample: the map.
// Larger ones (a range near the float limit, samples near -3.4e38 and 0) may
// overflow although adding the minimum would bring the value back, and the
// quantisation overshoot can pass the limit itself: for those headers the
// transform keeps y (the identity map) and denormalise_saturating recomputes
// the samples that overflow in double, saturated at the largest float.
[[nodiscard]] bool denormalises_in_float(const ContainerHeader& header);
[[nodiscard]] rimble::OutputMap<float> output_map(const ContainerHeader& header);
void denormalise_saturating(std::span<float> signal, const ContainerHeader& header);

// Little-endian loads and stores that work on any host and any alignment.
namespace little_endian {

template <class T>
[[nodiscard]] inline T load(const std::uint8_t* p) {
  static_assert(std::is_integral_v<T> && std::is_unsigned_v<T>);
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{p[i]} << (8 * i));
  return value;
}

template <class T>
inline void store(std::uint8_t* p, T value) {
  static_assert(std::is_integral_v<T> && std::is_unsigned_v<T>);
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

[[nodiscard]] inline float load_f32(const std::uint8_t* p) { return std::bit_cast<float>(load<std::uint32_t>(p)); }
inline void store_f32(std::uint8_t* p, float value) { store(p, std::bit_cast<std::uint32_t>(value)); }

}  // namespace little_endian

}  // namespace quorvel
