// codec/v1/container.cpp: the 52-byte header both ways, the encoders' sample limits, assembly, de-normalisation.
#include "codec/v1/container.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "codec/v1/deflate.hpp"

namespace quorvel {

namespace {

// Field offsets within the header.
enum Offset : std::size_t {
  magic_at = 0, version_at = 4, format_tag_at = 6, method_tag_at = 8, levels_at = 12, scale_at = 13, reserved_at = 14,
  sample_count_at = 16, minimum_at = 20, maximum_at = 24, mean_at = 28, payload_length_at = 32, reserved_bytes_at = 36,
};

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

std::expected<ContainerHeader, QuorvelError> ContainerHeader::parse(std::span<const std::uint8_t> bytes) {
  const auto raw = QuorvelHeader::from_bytes(bytes);
  if (!raw) return std::unexpected(raw.error());
  // from_bytes accepts known tags only.
  return ContainerHeader{*method_from_tag(raw->method_tag), raw->levels,  raw->scale, raw->sample_count,
                         raw->minimum,                      raw->maximum, raw->mean,  raw->payload_length};
}

std::array<std::uint8_t, header_size> ContainerHeader::to_bytes() const {
  return QuorvelHeader{
      .magic = header_magic,
      .version = header_version,
      .format_tag = header_format_tag,
      .method_tag = method_tag(method),
      .levels = levels,
      .scale = scale,
      .reserved = 0,
      .sample_count = sample_count,
      .minimum = minimum,
      .maximum = maximum,
      .mean = mean,
      .payload_length = payload_length,
      .reserved_bytes = {},
  }
      .to_bytes();
}

std::expected<std::vector<std::uint8_t>, QuorvelError> assemble_container(ContainerHeader header,
                                                                          std::span<const std::uint8_t> stream,
                                                                          int level) {
  auto container = raw_deflate(stream, level, header_size);
  if (!container) return std::unexpected(std::move(container.error()));
  const std::size_t payload_length = container->size() - header_size;
  if (payload_length > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(QuorvelError::deflate_failed("DEFLATE payload of " + std::to_string(payload_length) +
                                                        " bytes does not fit the 32-bit length field"));
  }
  header.payload_length = static_cast<std::uint32_t>(payload_length);
  const auto bytes = header.to_bytes();
  std::copy(bytes.begin(), bytes.end(), container->begin());
  return std::move(*container);
}

bool denormalises_in_float(const ContainerHeader& h) {
  constexpr float bound = 0x1p62f;
  return std::fabs(h.minimum) < bound && std::fabs(h.maximum) < bound && std::fabs(h.mean) < bound;
}

rimble::OutputMap<float> output_map(const ContainerHeader& h) {
  return denormalises_in_float(h) ? rimble::OutputMap<float>{h.mean, h.maximum - h.minimum, h.minimum}
                                  : rimble::OutputMap<float>{};
}

void denormalise_saturating(std::span<float> signal, const ContainerHeader& h) {
  const float range = h.maximum - h.minimum;
  const double wide_range = static_cast<double>(h.maximum) - static_cast<double>(h.minimum);
  constexpr double largest = std::numeric_limits<float>::max();
  for (float& y : signal) {
    const float shifted = y + h.mean;
    const float value = (shifted * range) + h.minimum;
    y = std::isfinite(value) ? value
                             : static_cast<float>(std::clamp(shifted * wide_range + h.minimum, -largest, largest));
  }
}

}  // namespace quorvel
