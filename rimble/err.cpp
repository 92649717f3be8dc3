// rimble/err.cpp: error messages and the fatal-invariant helper.
#include "rimble/err.hpp"

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace rimble {

std::string RimbleError::message() const {
  const std::string a = std::to_string(first_);
  const std::string b = std::to_string(second_);
  switch (kind_) {
    case Kind::AllocationFailed:
      return "Cannot allocate " + a + " bytes to vector";
    case Kind::HalfLengthMismatch:
      return "Approximation and details expected to be half of original signal length but it was " + a;
    case Kind::ApproxDetailsMismatch:
      return "Approx and details must match, but they don't " + a + "x" + b;
    case Kind::OutputSizeMismatch:
      return "Output size should be " + a + ", but it was " + b;
    case Kind::InputTooShort:
      return "Input size " + a + " can't be less than " + b;
    case Kind::BufferTooSmallForLevel:
      return "Buffer was too small for provided level";
    case Kind::ApproximationSizeMismatch:
      return "Approximate size " + a + " does not match required size " + b;
    case Kind::ZeroSizedInput:
      return "Zero sized input is not supported";
    case Kind::ScratchTooSmall:
      return "Scratch size expected to be " + a + " but it was " + b;
  }
  fatal("unknown RimbleError kind");
}

void fatal(std::string_view message) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
  // Arrays below one huge page gain nothing. madvise wants a page-aligned start;
  // the page rounded off belongs to the same allocation or its neighbour in the
  // heap, and advice on it harms neither.
  constexpr std::size_t page = 4096;
  if (data == nullptr || bytes < kHugePage) return;
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t start = address & ~(std::uintptr_t{page} - 1);
  madvise(reinterpret_cast<void*>(start), bytes + (address - start), MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

void* allocate_large(std::size_t bytes) noexcept {
  void* block = std::malloc(bytes > 0 ? bytes : 1);
  advise_huge_pages(block, bytes);
  return block;
}

#if defined(__linux__)

void* map_working_pages(std::size_t bytes) noexcept {
  if (bytes > std::numeric_limits<std::size_t>::max() / 2) return nullptr;
  const std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  // One huge page more than needed, then the ends cut off, leaves a mapping
  // that starts on a huge-page boundary.
  const std::size_t length = rounded + kHugePage;
  void* raw = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto first = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t start = (first + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
  if (start > first) munmap(raw, start - first);
  if (const std::uintptr_t end = start + rounded; first + length > end) {
    munmap(reinterpret_cast<void*>(end), first + length - end);
  }
  void* block = reinterpret_cast<void*>(start);
#if defined(MADV_HUGEPAGE)
  madvise(block, rounded, MADV_HUGEPAGE);
#endif
  return block;
}

void unmap_working_pages(void* block, std::size_t bytes) noexcept {
  if (block != nullptr) munmap(block, (bytes + kHugePage - 1) & ~(kHugePage - 1));
}

#else

void* map_working_pages(std::size_t bytes) noexcept { return std::malloc(bytes > 0 ? bytes : 1); }
void unmap_working_pages(void* block, std::size_t /*bytes*/) noexcept { std::free(block); }

#endif

}  // namespace rimble
