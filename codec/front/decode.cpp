// codec/front/decode.cpp: containers of either version, told apart by their version field.
#include "codec/front/decode.hpp"

#include <algorithm>
#include <string>

#include "codec/v1/decompressor.hpp"
#include "codec/v2/decoder.hpp"

namespace quorvel {

std::expected<std::uint16_t, QuorvelError> container_version(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 6) return std::unexpected(QuorvelError::invalid_header());
  const QuorvelError::Bytes4 magic{bytes[0], bytes[1], bytes[2], bytes[3]};
  if (magic != header_magic) return std::unexpected(QuorvelError::invalid_magic(magic));
  const auto version = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
  if (version != header_version && version != v2::version) {
    return std::unexpected(QuorvelError::invalid_header_version({bytes[4], bytes[5]}));
  }
  return version;
}

std::expected<ContainerInfo, QuorvelError> inspect(std::span<const std::uint8_t> bytes) {
  const auto version = container_version(bytes);
  if (!version) return std::unexpected(version.error());
  if (*version == v2::version) {
    auto layout = v2::parse(bytes);
    if (!layout) return std::unexpected(layout.error());
    const std::uint32_t count = layout->header.sample_count;
    const std::size_t size = std::max(layout->block_starts.back(), v2::min_container_size);
    return ContainerInfo{*version, count, size, std::nullopt, std::move(*layout)};
  }
  const auto header = ContainerHeader::parse(bytes);
  if (!header) return std::unexpected(header.error());
  return ContainerInfo{*version, header->sample_count, header_size + header->payload_length, *header,
                       std::nullopt};
}

std::expected<void, QuorvelError> decode_into(std::span<const std::uint8_t> bytes, std::size_t start,
                                              std::span<float> out, std::size_t threads) {
  const auto version = container_version(bytes);
  if (!version) return std::unexpected(version.error());
  if (*version == v2::version) return v2::decode_into(bytes, start, out, threads);
  auto samples = decompress_block(bytes);
  if (!samples) return std::unexpected(samples.error());
  if (start > samples->size() || out.size() > samples->size() - start) {
    return std::unexpected(QuorvelError::invalid_input("Samples " + std::to_string(start) + " to " +
                                                       std::to_string(start + out.size()) +
                                                       " asked of a container of " +
                                                       std::to_string(samples->size())));
  }
  std::copy_n(samples->data() + start, out.size(), out.data());
  return {};
}

std::expected<rimble::LargeBlock<float>, QuorvelError> decode(std::span<const std::uint8_t> bytes,
                                                             std::size_t threads) {
  const auto version = container_version(bytes);
  if (!version) return std::unexpected(version.error());
  if (*version != v2::version) return decompress_block(bytes);
  const auto layout = v2::parse(bytes);
  if (!layout) return std::unexpected(layout.error());
  rimble::LargeBlock<float> samples(layout->header.sample_count);
  if (samples.data() == nullptr) {
    return std::unexpected(QuorvelError::out_of_memory(std::uint64_t{layout->header.sample_count} * sizeof(float)));
  }
  if (auto done = v2::decode_into(bytes, 0, samples.span(), threads); !done) return std::unexpected(done.error());
  return samples;
}

}  // namespace quorvel
