// codec/v1/deflate.hpp: raw DEFLATE (RFC 1951) for the codec's coefficient streams, both ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "codec/common/error.hpp"

namespace quorvel {

// Compression levels accepted by raw_deflate: libdeflate's 1 (fastest) to 12
// (smallest); a build with zlib alone compresses 10..12 at zlib's 9. Level 6
// is the container's reference level.
inline constexpr int min_deflate_level = 1;
inline constexpr int max_deflate_level = 12;
inline constexpr int reference_deflate_level = 6;

// Compresses `stream` into a new array that starts with `prefix` zero bytes
// (room for a header) followed by the raw DEFLATE stream. Each thread keeps one
// compressor per level and reuses it across calls. Levels outside 1..12 are a
// programming error.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> raw_deflate(std::span<const std::uint8_t> stream,
                                                                                 int level, std::size_t prefix);

// Inflates the raw DEFLATE `payload` into `out` in one shot and reports
// whether it was one complete, well-formed stream that fills `out` exactly and
// uses every input byte (anything else, `out` holds no meaning). Each thread
// keeps one decompressor. A build with zlib alone answers false for parts of
// 1 GiB or more, which callers then inflate as a stream.
[[nodiscard]] bool raw_inflate_exact(std::span<const std::uint8_t> payload, std::span<std::uint8_t> out);

// Inflates the raw DEFLATE `payload` as a stream with zlib, whose behaviour
// on truncated and malformed streams is the container's reference. Stops at
// the end of the stream, when the input is used up (a truncated stream yields
// what it decoded) or once `limit` bytes are out (whatever follows would be
// ignored). The result grows with what the stream actually delivers, never
// past `limit`. Malformed data fails with DecompressionFailed ("corrupt
// deflate stream").
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> raw_inflate_stream(
    std::span<const std::uint8_t> payload, std::size_t limit);

// The library that compresses and inflates whole streams in this build, and its
// version: "libdeflate" when it was found at build time, else "zlib". zlib's own
// version is zlib_runtime_version(); it always inflates truncated streams.
struct DeflateLibrary {
  std::string_view name;
  std::string_view version;
};
[[nodiscard]] DeflateLibrary deflate_library();
[[nodiscard]] std::string_view zlib_runtime_version();

}  // namespace quorvel
