// codec/common/buffer.hpp: arrays of plain numbers that are written before they are read, so never zero-filled.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "rimble/memory.hpp"

namespace quorvel {

// std::allocator that default-initialises (leaves plain numbers as they are)
// and advises large arrays onto transparent huge pages: a fresh multi-megabyte
// array of codes then costs neither a zero-fill nor a fault per 4 KiB page.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  static_assert(std::is_trivially_default_constructible_v<T>);
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    T* p = std::allocator<T>::allocate(n);
    rimble::advise_huge_pages(p, n * sizeof(T));
    return p;
  }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A vector whose resize leaves new elements unwritten.
template <class T>
using Buffer = std::vector<T, UninitialisedAllocator<T>>;

// Gives a buffer's memory back at once (clear() and `= {}` keep its capacity).
template <class T>
void release(Buffer<T>& buffer) {
  Buffer<T>().swap(buffer);
}

}  // namespace quorvel
