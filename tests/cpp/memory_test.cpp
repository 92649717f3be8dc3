// Where the library's arrays live: zero-filled vectors and working memory, on either side of the
// sizes from which they take huge pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "rimble/memory.hpp"

namespace {

// Arrays from one huge page up are advised before they are zero-filled; the
// advice must change nothing about what the caller gets, on either side of the
// threshold and whatever the heap hands out.
TEST(ZeroedVector, HugePageAdviceLeavesSizeAndZerosUnchanged) {
  constexpr std::size_t huge_page_floats = (std::size_t{1} << 21) / sizeof(float);
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, huge_page_floats - 1, huge_page_floats,
                              3 * huge_page_floats + 5}) {
    SCOPED_TRACE(n);
    const auto values = rimble::zeroed_vector<float>(n);
    ASSERT_TRUE(values.has_value());
    ASSERT_EQ(values->size(), n);
    EXPECT_EQ(std::count(values->begin(), values->end(), 0.0f), static_cast<std::ptrdiff_t>(n));
  }
  rimble::advise_huge_pages(nullptr, std::size_t{1} << 30);  // no memory, no advice, no crash
}

// Working memory on either side of the size from which it maps its own huge
// pages: every number of every block can be written, and still reads back
// once all the blocks are live; mapped blocks start on a huge-page boundary.
TEST(WorkingMemory, EveryBlockHoldsAllItsNumbers) {
  constexpr std::size_t megabyte_floats = (std::size_t{1} << 20) / sizeof(float);
  constexpr std::size_t huge_page = std::size_t{1} << 21;
  const std::size_t sizes[] = {0, 1, megabyte_floats - 1, megabyte_floats, huge_page / sizeof(float) + 1,
                               3 * megabyte_floats + 7};
  std::vector<std::unique_ptr<rimble::WorkingMemory<float>>> blocks;
  for (const std::size_t n : sizes) {
    const auto& block = blocks.emplace_back(std::make_unique<rimble::WorkingMemory<float>>(n));
    ASSERT_NE(block->data(), nullptr) << n;
    if (n >= megabyte_floats) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block->data()) % huge_page, 0u) << n;
    }
    for (std::size_t i = 0; i < n; ++i) block->data()[i] = static_cast<float>(i);
  }
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < sizes[b]; ++i) wrong += blocks[b]->data()[i] == static_cast<float>(i) ? 0 : 1;
    EXPECT_EQ(wrong, 0u) << sizes[b];
  }
}

}  // namespace
