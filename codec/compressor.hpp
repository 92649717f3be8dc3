// codec/compressor.hpp: the encoder, signal in, container out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/error.hpp"
#include "codec/header.hpp"

namespace quorvel {

// Compresses 1 to 2147483647 samples into a complete container (header and
// raw DEFLATE payload). The options must hold a known method and a scale in
// 6..12. The input is never modified.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> compress(std::span<const float> samples,
                                                                              CompressionOptions options);

// Decomposition levels for a signal of `length` samples: floor(log2(length /
// filter_length)) held to 1..8, and 1 for signals shorter than one filter.
[[nodiscard]] std::size_t compute_max_levels(std::size_t length, std::size_t filter_length);

}  // namespace quorvel
