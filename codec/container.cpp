// codec/header.cpp: parsing and laying out the 52-byte container header.
#include "codec/header.hpp"

#include <algorithm>
#include <cmath>

namespace quorvel {

namespace {

// Field offsets within the header.
constexpr std::size_t magic_at = 0;
constexpr std::size_t version_at = 4;
constexpr std::size_t format_tag_at = 6;
constexpr std::size_t method_tag_at = 8;
constexpr std::size_t levels_at = 12;
constexpr std::size_t scale_at = 13;
constexpr std::size_t reserved_at = 14;
constexpr std::size_t sample_count_at = 16;
constexpr std::size_t minimum_at = 20;
constexpr std::size_t maximum_at = 24;
constexpr std::size_t mean_at = 28;
constexpr std::size_t payload_length_at = 32;
constexpr std::size_t reserved_bytes_at = 36;

template <std::size_t N>
std::array<std::uint8_t, N> copy_bytes(const std::uint8_t* p) {
  std::array<std::uint8_t, N> out;
  std::copy_n(p, N, out.begin());
  return out;
}

}  // namespace

std::expected<QuorvelHeader, QuorvelError> QuorvelHeader::from_bytes(std::span<const std::uint8_t> bytes) {
  using namespace little_endian;
  if (bytes.size() < header_size) return std::unexpected(QuorvelError::invalid_header());
  const std::uint8_t* p = bytes.data();

  QuorvelHeader h;
  h.magic = copy_bytes<4>(p + magic_at);
  if (h.magic != header_magic) return std::unexpected(QuorvelError::invalid_magic(h.magic));

  h.version = load<std::uint16_t>(p + version_at);
  if (h.version != header_version) {
    return std::unexpected(QuorvelError::invalid_header_version(copy_bytes<2>(p + version_at)));
  }

  h.format_tag = copy_bytes<2>(p + format_tag_at);
  if (h.format_tag != header_format_tag) return std::unexpected(QuorvelError::invalid_format_tag(h.format_tag));

  h.method_tag = copy_bytes<4>(p + method_tag_at);
  if (!method_from_tag(h.method_tag)) return std::unexpected(QuorvelError::invalid_compression_method(h.method_tag));

  h.levels = p[levels_at];
  h.scale = p[scale_at];
  h.reserved = load<std::uint16_t>(p + reserved_at);
  h.sample_count = load<std::uint32_t>(p + sample_count_at);
  h.minimum = load_f32(p + minimum_at);
  h.maximum = load_f32(p + maximum_at);
  h.mean = load_f32(p + mean_at);
  if (!std::isfinite(h.minimum) || !std::isfinite(h.maximum) || !std::isfinite(h.mean)) {
    return std::unexpected(QuorvelError::invalid_header());
  }
  h.payload_length = load<std::uint32_t>(p + payload_length_at);
  h.reserved_bytes = copy_bytes<16>(p + reserved_bytes_at);
  return h;
}

std::array<std::uint8_t, header_size> QuorvelHeader::to_bytes() const {
  using namespace little_endian;
  std::array<std::uint8_t, header_size> out{};
  std::uint8_t* p = out.data();
  std::copy(magic.begin(), magic.end(), p + magic_at);
  store(p + version_at, version);
  std::copy(format_tag.begin(), format_tag.end(), p + format_tag_at);
  std::copy(method_tag.begin(), method_tag.end(), p + method_tag_at);
  p[levels_at] = levels;
  p[scale_at] = scale;
  store(p + reserved_at, reserved);
  store(p + sample_count_at, sample_count);
  store_f32(p + minimum_at, minimum);
  store_f32(p + maximum_at, maximum);
  store_f32(p + mean_at, mean);
  store(p + payload_length_at, payload_length);
  std::copy(reserved_bytes.begin(), reserved_bytes.end(), p + reserved_bytes_at);
  return out;
}

}  // namespace quorvel
