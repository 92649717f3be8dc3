// codec/decompressor.hpp: the decoder, container in, signal out.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/error.hpp"
#include "codec/header.hpp"

namespace quorvel {

// Decodes a container produced by compress. Bytes after the payload are
// ignored. The result has exactly the stored sample count.
[[nodiscard]] std::expected<std::vector<float>, QuorvelError> decompress(std::span<const std::uint8_t> data);

}  // namespace quorvel
