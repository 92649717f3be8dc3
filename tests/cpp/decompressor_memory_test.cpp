// tests/cpp/decompressor_memory_test.cpp: the decoder's memory is paid for by
// the payload, never by what the header claims.
//
// A container of at most 100 bytes can claim 2147483647 samples and ten
// levels, yet its DEFLATE payload (at most 48 bytes) inflates to about 50 KB at
// most (DEFLATE's ratio tops out near 1032:1). A decoder that sized a buffer
// from the claim would ask for gigabytes. This binary replaces the C heap
// (malloc and its relatives, which operator new, zlib and libdeflate all go
// through) with a counting layer over glibc's allocator and measures the peak
// of live bytes during each decompress call.

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>
#if QUORVEL_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "codec/codec.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define QUORVEL_COUNTING_HEAP 0  // the sanitizer owns malloc; nothing to measure
#else
#define QUORVEL_COUNTING_HEAP 1
#endif

#if QUORVEL_COUNTING_HEAP

// glibc's allocator under its exported internal names: the counting layer sits
// on top of it, so blocks stay ordinary glibc chunks and malloc_usable_size
// keeps working on them.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<std::size_t> live_bytes{0};
std::atomic<std::size_t> peak_bytes{0};

void* counted(void* block) {
  if (block == nullptr) return nullptr;
  const std::size_t now = live_bytes.fetch_add(malloc_usable_size(block)) + malloc_usable_size(block);
  std::size_t peak = peak_bytes.load();
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
  return block;
}

void uncount(void* block) {
  if (block != nullptr) live_bytes.fetch_sub(malloc_usable_size(block));
}

}  // namespace

// The replacement set that glibc's manual asks for when malloc is replaced.
extern "C" {
void* malloc(std::size_t size) { return counted(__libc_malloc(size)); }
void* calloc(std::size_t count, std::size_t size) { return counted(__libc_calloc(count, size)); }
void free(void* block) {
  uncount(block);
  __libc_free(block);
}
void* realloc(void* block, std::size_t size) {
  // Uncounting first is safe: glibc frees the old block only when it succeeds.
  const std::size_t old_size = block ? malloc_usable_size(block) : 0;
  uncount(block);
  void* moved = __libc_realloc(block, size);
  if (moved == nullptr && block != nullptr && size != 0) {
    live_bytes.fetch_add(old_size);
    return nullptr;
  }
  return counted(moved);
}
void* reallocarray(void* block, std::size_t count, std::size_t size) {
  if (size != 0 && count > SIZE_MAX / size) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(block, count * size);
}
void* memalign(std::size_t alignment, std::size_t size) { return counted(__libc_memalign(alignment, size)); }
void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* block = memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}
void* valloc(std::size_t size) { return memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size); }
void* pvalloc(std::size_t size) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return memalign(page, (size + page - 1) / page * page);
}
}

#endif  // QUORVEL_COUNTING_HEAP

namespace {

// Peak of live heap bytes while `work` runs, above what was live before.
template <class Work>
std::size_t peak_during(Work&& work) {
#if QUORVEL_COUNTING_HEAP
  const std::size_t before = live_bytes.load();
  peak_bytes.store(before);
  work();
  return peak_bytes.load() - before;
#else
  work();
  return 0;
#endif
}

struct Decoded {
  bool ok = false;
  std::size_t samples = 0;
  std::size_t peak_bytes = 0;
};

Decoded measure_decompress(std::span<const std::uint8_t> container) {
  Decoded decoded;
  decoded.peak_bytes = peak_during([&] {
    const auto result = quorvel::decompress(container);
    decoded.ok = result.has_value();
    decoded.samples = result ? result->size() : 0;
  });
  return decoded;
}

// Independent oracle for what the payload delivers: zlib's raw inflate over
// the bytes the header assigns to the payload (or as many as are there),
// counting output until the stream ends, fails or runs out of input.
std::size_t inflated_size(std::span<const std::uint8_t> container) {
  if (container.size() < quorvel::header_size) return 0;
  const auto header = quorvel::QuorvelHeader::from_bytes(container);
  const std::size_t available = container.size() - quorvel::header_size;
  const std::size_t payload = header ? std::min<std::size_t>(header->payload_length, available) : available;
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return 0;
  stream.next_in = const_cast<Bytef*>(container.data() + quorvel::header_size);  // zlib only reads it
  stream.avail_in = static_cast<uInt>(payload);
  std::array<std::uint8_t, 4096> chunk;
  std::size_t total = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = chunk.data();
    stream.avail_out = chunk.size();
    status = inflate(&stream, Z_NO_FLUSH);
    total += chunk.size() - stream.avail_out;
  }
  inflateEnd(&stream);
  return total;
}

// Raw DEFLATE at level 9 of `size` zero bytes: the densest bomb zlib writes.
std::vector<std::uint8_t> deflate_zeros(std::size_t size) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  std::vector<std::uint8_t> zeros(size, 0);
  std::vector<std::uint8_t> out(deflateBound(&stream, size));
  stream.next_in = zeros.data();
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// The largest run of zeros whose level-9 stream fits in `budget` bytes.
std::vector<std::uint8_t> densest_bomb(std::size_t budget) {
  std::size_t low = 1, high = budget * 1100;  // DEFLATE cannot beat ~1032:1
  while (low < high) {
    const std::size_t mid = (low + high + 1) / 2;
    if (deflate_zeros(mid).size() <= budget) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  return deflate_zeros(low);
}

// A container laid out byte by byte: scale 11, minimum -1, maximum 1, mean 0.
std::vector<std::uint8_t> container(const std::array<std::uint8_t, 4>& method_tag, std::uint32_t sample_count,
                                    std::uint8_t levels, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> bytes(quorvel::header_size + payload.size(), 0);
  const auto put32 = [&](std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  std::memcpy(bytes.data(), "QRVL\x01\x00" "f3", 8);
  std::memcpy(bytes.data() + 8, method_tag.data(), 4);
  bytes[12] = levels;
  bytes[13] = 11;
  put32(16, sample_count);
  put32(20, 0xbf800000u);  // -1.0f
  put32(24, 0x3f800000u);  // 1.0f
  put32(32, static_cast<std::uint32_t>(payload.size()));
  if (!payload.empty()) std::memcpy(bytes.data() + quorvel::header_size, payload.data(), payload.size());
  return bytes;
}

constexpr std::size_t max_container = 100;
constexpr std::size_t max_payload = max_container - quorvel::header_size;

// An array grown to n bytes by doubling ends with a capacity C < 2n, and at its
// last growth holds the old block (C/2) and the new one (C) at once: below 3n.
constexpr std::size_t growth_factor = 3;

// What the inflaters themselves hold, whatever the input: zlib's state and its
// 32 KB window, the 4 KiB first output chunk of the decoder's streaming inflate
// (however little the payload inflates to), libdeflate's decoder tables in
// builds that have it. Measured rather than assumed where they are another
// library's, and counted as if all were live at once; the decoder's own
// bookkeeping (band sizes, executor, error text) must fit in the 4 KiB on top.
constexpr std::size_t streaming_first_chunk = 4 * 1024;
std::size_t inflater_state() {
  static const std::size_t bytes = [] {
    const auto bomb = densest_bomb(max_payload);
    const auto container_bytes = container({'c', 'f', '5', '3'}, 1, 1, bomb);
    const std::size_t zlib = peak_during([&] { (void)inflated_size(container_bytes); });
#if QUORVEL_HAVE_LIBDEFLATE
    const std::size_t libdeflate = peak_during([] { libdeflate_free_decompressor(libdeflate_alloc_decompressor()); });
#else
    const std::size_t libdeflate = 0;  // a zlib-only build inflates with zlib alone
#endif
    return zlib + streaming_first_chunk + libdeflate;
  }();
  return bytes;
}

std::size_t allowance() { return inflater_state() + 4 * 1024; }

struct Hostile {
  const char* name;
  std::vector<std::uint8_t> bytes;
};

std::vector<Hostile> hostile_containers() {
  using Tag = std::array<std::uint8_t, 4>;
  const Tag tags[] = {{'c', 'f', '5', '3'}, {'c', 'f', '9', '7'}, {'d', 'b', '0', '4'}, {'s', 'y', 'm', '4'}};
  const auto bomb = densest_bomb(max_payload);
  const std::vector<std::uint8_t> stored_zeros = {0x01, 0x20, 0x00, 0xdf, 0xff};  // stored block, 32 bytes follow
  std::vector<std::uint8_t> stored = stored_zeros;
  stored.resize(stored.size() + 32, 0);

  std::vector<Hostile> cases;
  for (const auto& tag : tags) {
    cases.push_back({"no payload, maximum count, 10 levels", container(tag, 2147483647u, 10, {})});
    cases.push_back({"bomb, maximum count, 10 levels", container(tag, 2147483647u, 10, bomb)});
    cases.push_back({"bomb, maximum count, 1 level", container(tag, 2147483647u, 1, bomb)});
    cases.push_back({"bomb, count over the limit", container(tag, 4294967295u, 10, bomb)});
    cases.push_back({"stored block, maximum count", container(tag, 2147483647u, 8, stored)});
    cases.push_back({"bomb, count beyond what it backs", container(tag, 40000u, 3, bomb)});
  }
  // A payload length that points far past the end of the input.
  auto overlong = container(tags[0], 2147483647u, 10, bomb);
  overlong[32] = overlong[33] = overlong[34] = overlong[35] = 0xff;
  cases.push_back({"payload length 4294967295", overlong});
  return cases;
}

TEST(DecompressorMemory, SmallHostileContainersCostAtMostTheirInflatedPayloadGrown) {
#if !QUORVEL_COUNTING_HEAP
  GTEST_SKIP() << "the sanitizer's allocator cannot be measured from inside";
#endif
  for (const auto& hostile : hostile_containers()) {
    SCOPED_TRACE(hostile.name);
    ASSERT_LE(hostile.bytes.size(), max_container);
    const std::size_t inflated = inflated_size(hostile.bytes);
    const auto decoded = measure_decompress(hostile.bytes);
    EXPECT_FALSE(decoded.ok) << "a claim the payload cannot back must be refused";
    EXPECT_LE(decoded.peak_bytes, growth_factor * inflated + allowance()) << "inflated payload: " << inflated << " bytes";
  }
}

TEST(DecompressorMemory, ABombTheHeaderMatchesCostsInProportionToItsOutput) {
#if !QUORVEL_COUNTING_HEAP
  GTEST_SKIP() << "the sanitizer's allocator cannot be measured from inside";
#endif
  // With cdf53 and one level the stream holds exactly one coefficient per
  // sample, so the bomb's zeros back exactly inflated / 2 samples.
  const auto bomb = densest_bomb(max_payload);
  const auto bytes = container({'c', 'f', '5', '3'}, 0, 1, bomb);
  const std::size_t inflated = inflated_size(bytes);
  auto matched = container({'c', 'f', '5', '3'}, static_cast<std::uint32_t>(inflated / 2), 1, bomb);
  ASSERT_LE(matched.size(), max_container);

  const auto decoded = measure_decompress(matched);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.samples, inflated / 2);
  // A faithful decode holds, at its peak, the inflated stream (as it grew),
  // the dequantised bands and the inverse transform's output (each one float
  // per sample, that is 2 bytes per inflated byte) and the result.
  const std::size_t sample_bytes = decoded.samples * sizeof(float);
  EXPECT_LE(decoded.peak_bytes, growth_factor * inflated + 3 * sample_bytes + allowance())
      << "inflated payload: " << inflated << " bytes";
}

TEST(DecompressorMemory, AClaimWithinThePayloadsReachCostsAtMostTheFloatsOfWhatItCouldInflateTo) {
#if !QUORVEL_COUNTING_HEAP
  GTEST_SKIP() << "the sanitizer's allocator cannot be measured from inside";
#endif
  // Raw DEFLATE inflates at most 1032-fold (258 bytes per 2-bit match). A
  // header claiming no more than that may be decoded in one shot into the
  // claim's dequantised floats (4 bytes per 2 stream bytes), even when the
  // payload is a 48-byte stored block that delivers 43 bytes; the claim can
  // never outgrow the payload's reach.
  std::vector<std::uint8_t> stored = {0x01, 0x2b, 0x00, 0xd4, 0xff};  // stored block of 43 bytes
  stored.resize(max_payload, 0x11);
  constexpr std::size_t reach = 1032 * max_payload;
  const auto bytes = container({'c', 'f', '5', '3'}, static_cast<std::uint32_t>(reach / 2), 1, stored);
  ASSERT_LE(bytes.size(), max_container);
  const std::size_t inflated = inflated_size(bytes);
  ASSERT_EQ(inflated, 43u);

  const auto decoded = measure_decompress(bytes);
  EXPECT_FALSE(decoded.ok);
  EXPECT_LE(decoded.peak_bytes, 2 * reach + allowance());
}

}  // namespace
