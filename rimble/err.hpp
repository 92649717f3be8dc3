// rimble/err.hpp: the wavelet library's error type, its result alias and the
// fatal-invariant helper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rimble {

// One value type for every failure of the library. A variant carries none, one
// or two unsigned words; message() prints them in decimal between fixed texts.
class RimbleError {
 public:
  enum class Kind : std::uint8_t {
    AllocationFailed,
    HalfLengthMismatch,
    ApproxDetailsMismatch,
    OutputSizeMismatch,
    InputTooShort,
    BufferTooSmallForLevel,
    ApproximationSizeMismatch,
    ZeroSizedInput,
    ScratchTooSmall,
  };

  // bytes: size of the failed request.
  static RimbleError allocation_failed(std::size_t bytes) { return {Kind::AllocationFailed, bytes, 0}; }
  static RimbleError half_length_mismatch(std::size_t band_length) {
    return {Kind::HalfLengthMismatch, band_length, 0};
  }
  static RimbleError approx_details_mismatch(std::size_t approx_length, std::size_t details_length) {
    return {Kind::ApproxDetailsMismatch, approx_length, details_length};
  }
  static RimbleError output_size_mismatch(std::size_t required, std::size_t given) {
    return {Kind::OutputSizeMismatch, required, given};
  }
  static RimbleError input_too_short(std::size_t length, std::size_t minimum) {
    return {Kind::InputTooShort, length, minimum};
  }
  static RimbleError buffer_too_small_for_level() { return {Kind::BufferTooSmallForLevel, 0, 0}; }
  static RimbleError approximation_size_mismatch(std::size_t given, std::size_t required) {
    return {Kind::ApproximationSizeMismatch, given, required};
  }
  static RimbleError zero_sized_input() { return {Kind::ZeroSizedInput, 0, 0}; }
  static RimbleError scratch_too_small(std::size_t required, std::size_t given) {
    return {Kind::ScratchTooSmall, required, given};
  }

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] std::size_t first() const { return first_; }
  [[nodiscard]] std::size_t second() const { return second_; }
  [[nodiscard]] std::string message() const;

  friend bool operator==(const RimbleError&, const RimbleError&) = default;

 private:
  RimbleError(Kind kind, std::size_t first, std::size_t second) : kind_(kind), first_(first), second_(second) {}

  Kind kind_;
  std::size_t first_;
  std::size_t second_;
};

template <class T>
using Result = std::expected<T, RimbleError>;

// Internal invariants that only a programming error can break end the process.
[[noreturn]] void fatal(std::string_view message);

// Asks the kernel to back [data, data + bytes) with transparent huge pages when
// the range is large enough to hold one: a fresh multi-megabyte array then costs
// one page fault per 2 MiB instead of one per 4 KiB when it is first written.
// Only advice: nothing changes where it is not supported.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

// Uninitialised working memory for n values of T. Up to kKeptBytes it comes
// from a cache of the calling thread (one per Tag) that the thread's next
// lease reuses: on this kind of machine a fresh page costs a fault on first
// touch, more than the work done in it, and the allocator hands large blocks
// back to the kernel on every free. Larger leases get memory of their own.
// A thread may hold one lease per Tag at a time. data() points at room for
// exactly n values (maybe more, never to be relied on), or is null when the
// memory cannot be obtained.
template <class Tag, class T>
class ScratchLease {
 public:
  // Zero: the library promises to hold no memory between calls, so every
  // lease is its own allocation. A caller that may keep working memory per
  // thread raises this to keep the blocks it decodes in.
  static constexpr std::size_t kKeptBytes = 0;

  explicit ScratchLease(std::size_t n) {
    if (kKeptBytes == 0 || n * sizeof(T) > kKeptBytes) {
      own_.reset(new (std::nothrow) T[n]);
      data_ = own_.get();
    } else {
      Cache& cache = thread_cache();
      if (cache.capacity < n) {
        cache.values.reset(new (std::nothrow) T[n]);
        cache.capacity = cache.values ? n : 0;
      }
      data_ = cache.values.get();
    }
    if (data_ != nullptr) advise_huge_pages(data_, n * sizeof(T));
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  [[nodiscard]] T* data() const { return data_; }

 private:
  struct Cache {
    std::unique_ptr<T[]> values;
    std::size_t capacity = 0;
  };
  static Cache& thread_cache() {
    thread_local Cache cache;
    return cache;
  }

  std::unique_ptr<T[]> own_;
  T* data_ = nullptr;
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
