// codec/v2/crc32.cpp: CRC-32 through libdeflate or zlib.
#include "codec/v2/crc32.hpp"

#include <algorithm>
#include <cstddef>

#if QUORVEL_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

namespace quorvel {

std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  // Both libraries answer a null buffer (an empty span's data()) with their initial value, 0, where a
  // continuation over no bytes must keep the CRC it was given.
  if (bytes.empty()) return crc;
#if QUORVEL_HAVE_LIBDEFLATE
  return libdeflate_crc32(crc, bytes.data(), bytes.size());
#else
  // zlib counts in 32-bit words.
  constexpr std::size_t slice = std::size_t{1} << 30;
  for (std::size_t at = 0; at < bytes.size(); at += slice) {
    const std::size_t length = std::min(slice, bytes.size() - at);
    crc = static_cast<std::uint32_t>(::crc32(crc, bytes.data() + at, static_cast<uInt>(length)));
  }
  return crc;
#endif
}

}  // namespace quorvel
