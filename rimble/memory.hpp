// rimble/memory.hpp: where the library's arrays live: huge-page advice, large blocks from malloc,
// a call's working memory on its own huge pages, and zero-filled vectors that report a failed
// allocation as an error.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "rimble/err.hpp"

namespace rimble {

// The transparent huge page of x86-64 and of aarch64 with 4 KiB pages.
inline constexpr std::size_t kHugePage = std::size_t{1} << 21;

// Asks the kernel to back [data, data + bytes) with transparent huge pages when
// the range is large enough to hold one: a fresh multi-megabyte array then costs
// one page fault per 2 MiB instead of one per 4 KiB when it is first written.
// Only advice: nothing changes where it is not supported.
// It never reads the memory, which GCC is told so that fresh blocks may be passed.
#if defined(__GNUC__) && !defined(__clang__)
[[gnu::access(none, 1)]]
#endif
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

// Uninitialised memory for a large array, released with std::free; null when
// it cannot be obtained. It comes from malloc, advised as above, as NumPy's
// own arrays do: a caller's loop then gets back from the heap the warm memory
// of the arrays it freed, as it would for NumPy's.
[[nodiscard]] void* allocate_large(std::size_t bytes) noexcept;

// An uninitialised array of n plain numbers in memory from allocate_large,
// owned alone: decoded samples, handed on without a copy (release()). data()
// is null when the memory cannot be obtained.
template <class T>
class LargeBlock {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>,
                "blocks hold plain numbers, allocated as raw memory");

 public:
  LargeBlock() = default;  // empty, holding no memory
  explicit LargeBlock(std::size_t n) : values_(allocate(n)), size_(values_ != nullptr ? n : 0) {}
  LargeBlock(LargeBlock&& other) noexcept
      : values_(std::exchange(other.values_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  LargeBlock& operator=(LargeBlock&& other) noexcept {
    std::swap(values_, other.values_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~LargeBlock() { std::free(values_); }

  [[nodiscard]] T* data() const { return values_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] std::span<T> span() const { return {values_, size_}; }
  // Keeps the first n numbers as the block's contents (the memory stays).
  void truncate(std::size_t n) { size_ = std::min(size_, n); }
  // The memory is the caller's from here on, to be released with std::free.
  [[nodiscard]] T* release() {
    size_ = 0;
    return std::exchange(values_, nullptr);
  }

 private:
  static T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) return nullptr;
    return static_cast<T*>(allocate_large(n * sizeof(T)));
  }

  T* values_ = nullptr;
  std::size_t size_ = 0;
};

// Memory straight from the kernel for a block of working memory: whole huge
// pages on a huge-page boundary, advised onto transparent huge pages, for at
// least `bytes` bytes; null when it cannot be had. Released with
// unmap_working_pages(block, bytes). Where the system has no such mappings,
// malloc and free.
[[nodiscard]] void* map_working_pages(std::size_t bytes) noexcept;
void unmap_working_pages(void* block, std::size_t bytes) noexcept;

// Uninitialised working memory for n plain numbers that lives for one call
// and that only the call itself touches (a decoder's coarser levels, an
// encoder's working signal). From a megabyte on, its own huge pages, mapped
// and unmapped with the block. From malloc, such blocks would add to the
// top of glibc's heap on top of the arrays a call returns, and glibc trims
// the top once it holds twice the largest block it has seen: a loop of calls
// that drops each result would then pay a fresh 4 KiB fault per page every
// time, some thousand per decode of a million samples. Huge pages are fresh
// each call too, but cost one fault per 2 MiB. Smaller blocks come from
// malloc. data() is null when the memory cannot be obtained.
template <class T>
class WorkingMemory {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>,
                "working memory holds plain numbers, allocated as raw memory");
  static constexpr std::size_t kMappedFrom = std::size_t{1} << 20;

 public:
  explicit WorkingMemory(std::size_t n)
      : bytes_(n <= std::numeric_limits<std::size_t>::max() / sizeof(T) ? n * sizeof(T) : 0),
        values_(n > 0 && bytes_ == 0 ? nullptr : allocate(bytes_)) {}
  ~WorkingMemory() {
    if (bytes_ >= kMappedFrom) {
      unmap_working_pages(values_, bytes_);
    } else {
      std::free(values_);
    }
  }
  WorkingMemory(const WorkingMemory&) = delete;
  WorkingMemory& operator=(const WorkingMemory&) = delete;

  [[nodiscard]] T* data() const { return values_; }

 private:
  static T* allocate(std::size_t bytes) {
    return static_cast<T*>(bytes >= kMappedFrom ? map_working_pages(bytes) : std::malloc(bytes > 0 ? bytes : 1));
  }

  std::size_t bytes_;
  T* values_;
};

// A new zero-filled array of n samples. Failure to obtain the memory is a
// reportable error (AllocationFailed with the size in bytes), not a crash.
template <class T>
[[nodiscard]] Result<std::vector<T>> zeroed_vector(std::size_t n) {
  try {
    std::vector<T> values;
    values.reserve(n);
    advise_huge_pages(values.data(), n * sizeof(T));  // before the zero-fill touches the pages
    values.resize(n);
    return values;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return std::unexpected(RimbleError::allocation_failed(n * sizeof(T)));
}

}  // namespace rimble
