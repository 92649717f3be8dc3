// codec/front/decode.hpp: the kit's decoder, which reads containers of either version, whole or a range, and their headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "codec/v1/container.hpp"
#include "codec/common/error.hpp"
#include "codec/v2/container.hpp"
#include "rimble/memory.hpp"

namespace quorvel {

// The version of a container from its first six bytes: the magic checked,
// then 1 or 2 (InvalidMagic, InvalidHeaderVersion otherwise; InvalidHeader
// when the bytes end first).
[[nodiscard]] std::expected<std::uint16_t, QuorvelError> container_version(std::span<const std::uint8_t> bytes);

// What a container's header says, checked as decoding checks it.
struct ContainerInfo {
  std::uint16_t version;
  std::uint32_t sample_count;
  std::size_t size;                   // bytes the container takes; what follows is not its
  std::optional<ContainerHeader> v1;  // version 1: method, levels, scale, statistics
  std::optional<v2::Layout> v2;       // version 2: coding, grid, palette, blocks and their sizes
};

[[nodiscard]] std::expected<ContainerInfo, QuorvelError> inspect(std::span<const std::uint8_t> bytes);

// Samples [start, start + out.size()) of a container of either version into
// `out`. A version-2 container is read only in the blocks that hold them,
// `threads` blocks groups at once (0: one per processor); a version-1
// container is decoded whole and the range copied. On failure `out` holds no
// meaning.
[[nodiscard]] std::expected<void, QuorvelError> decode_into(std::span<const std::uint8_t> bytes,
                                                            std::size_t start, std::span<float> out,
                                                            std::size_t threads = 1);

// Every sample of a container of either version, in memory that is handed on
// without a copy (the Python modules give it to NumPy).
[[nodiscard]] std::expected<rimble::LargeBlock<float>, QuorvelError> decode(std::span<const std::uint8_t> bytes,
                                                                           std::size_t threads = 1);

}  // namespace quorvel
