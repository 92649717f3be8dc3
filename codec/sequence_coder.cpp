// codec/sequence_coder.cpp: placeholder blocks (raw little-endian int32) until the coder lands.
#include "codec/sequence_coder.hpp"

#include <bit>
#include <cstring>

namespace quorvel {

namespace {

bool valid_length(std::size_t length) { return length >= 1 && std::has_single_bit(length); }

}  // namespace

std::expected<std::vector<std::vector<std::uint8_t>>, QuorvelError> encode_sequence(
    std::span<const std::int32_t> codes, const SequenceCoding& coding) {
  if (!valid_length(coding.block_length)) {
    return std::unexpected(QuorvelError::unsupported_configuration("block length must be a power of two"));
  }
  std::vector<std::vector<std::uint8_t>> blocks;
  for (std::size_t start = 0; start < codes.size(); start += coding.block_length) {
    const auto part = codes.subspan(start, std::min(coding.block_length, codes.size() - start));
    std::vector<std::uint8_t> bytes(part.size() * 4);
    std::memcpy(bytes.data(), part.data(), bytes.size());
    blocks.push_back(std::move(bytes));
  }
  return blocks;
}

std::expected<void, QuorvelError> decode_sequence(std::span<const std::span<const std::uint8_t>> blocks,
                                                  std::span<std::int32_t> codes, const SequenceCoding& coding) {
  if (!valid_length(coding.block_length)) {
    return std::unexpected(QuorvelError::unsupported_configuration("block length must be a power of two"));
  }
  if (blocks.size() != (codes.size() + coding.block_length - 1) / coding.block_length) {
    return std::unexpected(QuorvelError::decompression_failed("block count does not match the sample count"));
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const auto part = codes.subspan(i * coding.block_length,
                                    std::min(coding.block_length, codes.size() - i * coding.block_length));
    if (blocks[i].size() != part.size() * 4) {
      return std::unexpected(QuorvelError::decompression_failed("block size does not match its samples"));
    }
    std::memcpy(part.data(), blocks[i].data(), blocks[i].size());
  }
  return {};
}

}  // namespace quorvel
