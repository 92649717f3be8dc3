// codec/v2/crc32.hpp: the CRC-32 of zlib and gzip (polynomial 0xEDB88320), from the DEFLATE libraries.
#pragma once

#include <cstdint>
#include <span>

namespace quorvel {

// CRC-32 of `bytes` continued from `crc` (0 to start a new one): crc32(crc32(0, a), b)
// equals the CRC-32 of a followed by b. libdeflate's when the build has it, zlib's
// otherwise; both compute the same value.
[[nodiscard]] std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes);

}  // namespace quorvel
