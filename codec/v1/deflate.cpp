// codec/v1/deflate.cpp: raw DEFLATE through libdeflate or zlib, one compressor per thread and level, one decompressor per thread.
#include "codec/v1/deflate.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include <zlib.h>
#if QUORVEL_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "rimble/err.hpp"
#include "rimble/memory.hpp"

namespace quorvel {

namespace {

#if QUORVEL_HAVE_LIBDEFLATE

struct CompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using CompressorHandle = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;

// Allocating a compressor costs more than compressing a short signal (its
// match finder tables run to hundreds of kilobytes at the high levels), so
// each thread keeps the ones it has used. Nothing is shared between threads.
libdeflate_compressor* thread_compressor(int level) {
  thread_local std::array<CompressorHandle, max_deflate_level + 1> compressors;
  auto& slot = compressors[static_cast<std::size_t>(level)];
  if (!slot) slot.reset(libdeflate_alloc_compressor(level));
  return slot.get();
}

std::expected<std::vector<std::uint8_t>, QuorvelError> compress(std::span<const std::uint8_t> stream, int level,
                                                                std::size_t prefix) {
  libdeflate_compressor* compressor = thread_compressor(level);
  if (compressor == nullptr) return std::unexpected(QuorvelError::deflate_failed("DEFLATE compressor could not be allocated"));
  // The bound is about the stream's size while the output is a fraction of it:
  // compress into storage that is neither zero-filled nor, past what libdeflate
  // writes, ever touched, then copy out only the bytes written.
  const std::size_t bound = libdeflate_deflate_compress_bound(compressor, stream.size());
  const rimble::WorkingMemory<std::uint8_t> scratch(bound);
  if (scratch.data() == nullptr) return std::unexpected(QuorvelError::deflate_failed("DEFLATE output could not be allocated"));
  const std::size_t written = libdeflate_deflate_compress(compressor, stream.data(), stream.size(), scratch.data(), bound);
  if (written == 0) return std::unexpected(QuorvelError::deflate_failed("DEFLATE output exceeded its bound"));
  std::vector<std::uint8_t> out;
  out.reserve(prefix + written);
  out.resize(prefix);
  out.insert(out.end(), scratch.data(), scratch.data() + written);
  return out;
}

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

bool inflate_exact(std::span<const std::uint8_t> payload, std::span<std::uint8_t> out) {
  thread_local const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return false;
  std::size_t in_used = 0;
  std::size_t out_length = 0;
  const libdeflate_result result = libdeflate_deflate_decompress_ex(decompressor.get(), payload.data(), payload.size(),
                                                                    out.data(), out.size(), &in_used, &out_length);
  return result == LIBDEFLATE_SUCCESS && out_length == out.size() && in_used == payload.size();
}

#else

struct StreamDeleter {
  void operator()(z_stream* z) const {
    deflateEnd(z);
    delete z;
  }
};
using StreamHandle = std::unique_ptr<z_stream, StreamDeleter>;

// zlib's levels stop at 9: libdeflate's 10..12 search harder still, and the
// nearest zlib has is its own 9, so they all map there.
constexpr int zlib_max_level = 9;
constexpr int zlib_level(int level) { return std::min(level, zlib_max_level); }

// Like a libdeflate compressor, a zlib stream is worth keeping: deflateInit
// allocates about 256 KB of window and hash tables. Each thread keeps one raw
// stream (no zlib wrapper, 32 KB window) per zlib level, reset between uses.
z_stream* thread_stream(int level) {
  thread_local std::array<StreamHandle, zlib_max_level + 1> streams;
  auto& slot = streams[static_cast<std::size_t>(zlib_level(level))];
  if (!slot) {
    auto z = std::make_unique<z_stream>();
    if (deflateInit2(z.get(), zlib_level(level), Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return nullptr;
    slot.reset(z.release());
  } else if (deflateReset(slot.get()) != Z_OK) {
    return nullptr;
  }
  return slot.get();
}

// zlib counts in 32-bit words: the stream goes in and comes out in slices.
constexpr std::size_t max_slice = std::size_t{1} << 30;

std::expected<std::vector<std::uint8_t>, QuorvelError> compress(std::span<const std::uint8_t> stream, int level,
                                                                std::size_t prefix) {
  z_stream* z = thread_stream(level);
  if (z == nullptr) return std::unexpected(QuorvelError::deflate_failed("DEFLATE compressor could not be allocated"));
  // The output is a fraction of the stream's size for any real signal: grow
  // the array as zlib fills it rather than reserving the worst-case bound.
  std::vector<std::uint8_t> out(prefix + stream.size() / 4 + 256);
  std::size_t produced = prefix;
  std::size_t consumed = 0;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    if (produced == out.size()) out.resize(out.size() + std::max<std::size_t>(out.size() / 2, 4096));
    const std::size_t in_slice = std::min(stream.size() - consumed, max_slice);
    const std::size_t out_slice = std::min(out.size() - produced, max_slice);
    z->next_in = const_cast<Bytef*>(stream.data() + consumed);  // zlib only reads the input
    z->avail_in = static_cast<uInt>(in_slice);
    z->next_out = out.data() + produced;
    z->avail_out = static_cast<uInt>(out_slice);
    status = deflate(z, consumed + in_slice == stream.size() ? Z_FINISH : Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      return std::unexpected(QuorvelError::deflate_failed("DEFLATE compression failed with zlib code " +
                                                          std::to_string(status)));
    }
    consumed += in_slice - z->avail_in;
    produced += out_slice - z->avail_out;
  }
  out.resize(produced);
  return out;
}

// zlib counts in 32-bit words: one shot covers parts below 1 GiB, and larger
// ones are left to the callers' streaming paths.
bool inflate_exact(std::span<const std::uint8_t> payload, std::span<std::uint8_t> out) {
  if (payload.size() > max_slice || out.size() > max_slice) return false;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(payload.data());  // zlib only reads the input
  z.avail_in = static_cast<uInt>(payload.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&z, Z_FINISH);
  const bool exact = status == Z_STREAM_END && z.avail_in == 0 && z.avail_out == 0;
  inflateEnd(&z);
  return exact;
}

#endif

std::string zlib_error_text(int code) {
  switch (code) {
    case Z_DATA_ERROR: return "corrupt deflate stream";
    case Z_MEM_ERROR: return "insufficient memory";
    case Z_STREAM_ERROR: return "inconsistent deflate stream state";
    case Z_VERSION_ERROR: return "incompatible zlib version";
    default: return "deflate decompression failed with zlib code " + std::to_string(code);
  }
}

}  // namespace

std::expected<std::vector<std::uint8_t>, QuorvelError> raw_inflate_stream(std::span<const std::uint8_t> payload,
                                                                          std::size_t limit) {
  const auto failed = [](int code) { return std::unexpected(QuorvelError::decompression_failed(zlib_error_text(code))); };
  z_stream z{};
  if (const int init = inflateInit2(&z, -15); init != Z_OK) return failed(init);
  const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&z, inflateEnd);

  z.next_in = const_cast<Bytef*>(payload.data());  // zlib's API is not const-correct; it only reads
  z.avail_in = static_cast<uInt>(payload.size());   // payload lengths are 32-bit
  std::vector<std::uint8_t> out;
  std::size_t produced = 0;
  // Small first chunk: a hostile header can claim gigabytes while its payload
  // inflates to nothing, and this path serves exactly such streams (complete
  // ones go through raw_inflate_exact), so the buffer starts at 4 KiB and doubles.
  constexpr std::size_t first_chunk = std::size_t{1} << 12;
  constexpr std::size_t max_step = std::size_t{1} << 30;  // avail_out is a 32-bit count
  while (produced < limit) {
    if (produced == out.size()) out.resize(std::min(limit, std::max(first_chunk, 2 * out.size())));
    const std::size_t room = std::min(out.size() - produced, max_step);
    z.next_out = out.data() + produced;
    z.avail_out = static_cast<uInt>(room);
    const int status = inflate(&z, Z_NO_FLUSH);
    produced += room - z.avail_out;
    if (status == Z_STREAM_END || status == Z_BUF_ERROR) break;  // Z_BUF_ERROR: input used up
    if (status != Z_OK) return failed(status);
  }
  out.resize(produced);
  return out;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> raw_deflate(std::span<const std::uint8_t> stream, int level,
                                                                   std::size_t prefix) {
  if (level < min_deflate_level || level > max_deflate_level) rimble::fatal("raw_deflate: level outside 1..12");
  return compress(stream, level, prefix);
}

bool raw_inflate_exact(std::span<const std::uint8_t> payload, std::span<std::uint8_t> out) {
  return inflate_exact(payload, out);
}

std::string_view zlib_runtime_version() {
  return zlibVersion();  // the library loaded at run time, which may be newer than the header
}

DeflateLibrary deflate_library() {
#if QUORVEL_HAVE_LIBDEFLATE
  return {"libdeflate", LIBDEFLATE_VERSION_STRING};
#else
  return {"zlib", zlib_runtime_version()};
#endif
}

}  // namespace quorvel
