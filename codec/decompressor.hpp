// codec/decompressor.hpp: the decoder, container in, signal out.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/error.hpp"
#include "codec/header.hpp"
#include "rimble/memory.hpp"

namespace quorvel {

// Decodes a container produced by compress. Bytes after the payload are
// ignored. The result has exactly the stored sample count.
[[nodiscard]] std::expected<std::vector<float>, QuorvelError> decompress(std::span<const std::uint8_t> data);

// decompress into a large block instead of a vector: the samples are not
// zero-filled first (a pass over a multi-megabyte result) and the memory is
// malloc's, as NumPy's own arrays are. For callers that hand it on without a
// copy (the Python modules give it to NumPy).
[[nodiscard]] std::expected<rimble::LargeBlock<float>, QuorvelError> decompress_block(
    std::span<const std::uint8_t> data);

}  // namespace quorvel
