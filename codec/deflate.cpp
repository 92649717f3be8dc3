// codec/deflate.cpp: raw DEFLATE through libdeflate, one compressor per thread and level, one decompressor per thread.
#include "codec/deflate.hpp"

#include <array>
#include <memory>

#include <libdeflate.h>

#include "rimble/err.hpp"

namespace quorvel {

namespace {

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

struct DeflateOutput;  // tag of the thread's reused output memory

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

}  // namespace

bool raw_inflate_exact(std::span<const std::uint8_t> payload, std::span<std::uint8_t> out) {
  thread_local const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return false;
  std::size_t in_used = 0;
  std::size_t out_length = 0;
  const libdeflate_result result = libdeflate_deflate_decompress_ex(decompressor.get(), payload.data(), payload.size(),
                                                                    out.data(), out.size(), &in_used, &out_length);
  return result == LIBDEFLATE_SUCCESS && out_length == out.size();
}

std::expected<std::vector<std::uint8_t>, QuorvelError> raw_deflate(std::span<const std::uint8_t> stream, int level,
                                                                   std::size_t prefix) {
  if (level < min_deflate_level || level > max_deflate_level) rimble::fatal("raw_deflate: level outside 1..12");
  libdeflate_compressor* compressor = thread_compressor(level);
  if (compressor == nullptr) return std::unexpected(QuorvelError::deflate_failed("DEFLATE compressor could not be allocated"));
  // The bound is about the stream's size while the output is a fraction of it:
  // compress into the thread's reused storage, neither zero-filled nor, past
  // what libdeflate writes, ever touched, then copy out only the bytes written.
  const std::size_t bound = libdeflate_deflate_compress_bound(compressor, stream.size());
  const rimble::ScratchLease<DeflateOutput, std::uint8_t> scratch(bound);
  if (scratch.data() == nullptr) return std::unexpected(QuorvelError::deflate_failed("DEFLATE output could not be allocated"));
  const std::size_t written = libdeflate_deflate_compress(compressor, stream.data(), stream.size(), scratch.data(), bound);
  if (written == 0) return std::unexpected(QuorvelError::deflate_failed("DEFLATE output exceeded its bound"));
  std::vector<std::uint8_t> out;
  out.reserve(prefix + written);
  out.resize(prefix);
  out.insert(out.end(), scratch.data(), scratch.data() + written);
  return out;
}

}  // namespace quorvel
