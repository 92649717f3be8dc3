// rimble/memory.cpp: huge-page advice and mappings, large blocks.
#include "rimble/memory.hpp"

#include <cstdint>
#include <cstdlib>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace rimble {

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
