// The 8-tap forward step reads the signal in place: no allocation, no copy.
// This file replaces the global allocation functions for the whole test
// binary; they count only while `counting` is set.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "filter_bank_fixtures.hpp"
#include "rimble/rimble.hpp"

namespace {
std::atomic<bool> counting{false};
std::atomic<std::size_t> allocations{0};

void* allocate(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(Wavelet8Taps, ForwardStepAllocatesNothingInAnyMode) {
  for (const rimble::BorderMode mode : fixtures::kAllModes) {
    const rimble::Wavelet8Taps<float> executor(mode, fixtures::to_float(fixtures::kDb4));
    for (const std::size_t n : {8u, 9u, 1000u, 1001u}) {
      const auto x = fixtures::random_signal(n, 1);
      std::vector<float> approx(executor.dwt_size(n).approx_length), details(approx.size());
      allocations = 0;
      counting = true;
      const auto done = executor.execute_forward(x, approx, details);
      counting = false;
      ASSERT_TRUE(done.has_value());
      EXPECT_EQ(allocations.load(), 0u) << fixtures::mode_name(mode) << " n=" << n;
    }
  }
}

// The counter itself works: the generic executor allocates its arena.
TEST(Wavelet8Taps, AllocationCounterSeesTheGenericExecutorsArena) {
  const rimble::WaveletNTaps<float> executor(rimble::BorderMode::Periodic, fixtures::to_float(fixtures::kDb4));
  const auto x = fixtures::random_signal(100, 1);
  std::vector<float> approx(53), details(53);
  allocations = 0;
  counting = true;
  const auto done = executor.execute_forward(x, approx, details);
  counting = false;
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(allocations.load(), 1u);
}

}  // namespace
