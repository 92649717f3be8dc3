// rimble/processor_tier.hpp: the processor tiers among which the factory chooses.
#pragma once

#include <cstdint>

namespace rimble {

// Ordered: a processor that runs a tier runs every lower one.
//   Avx       AVX2 and FMA, with the YMM state saved by the OS
//   Sse       SSE4.2 (filter banks only; the lifting transforms fall back to Portable)
//   Portable  anything else
enum class ProcessorTier : std::uint8_t { Portable = 0, Sse = 1, Avx = 2 };

// The tier the factory builds for: the best one cpu_features() allows, lowered
// to testing::tier_cap(). Read once per constructor call.
[[nodiscard]] ProcessorTier processor_tier();

namespace testing {

// The highest tier the factory may choose. The library's own definition is
// weak and sets no cap; only a test binary defines a strong one (the GoogleTest
// main in tests/cpp), so that its suite also runs the portable and SSE
// executors on a processor with AVX2. Nothing linked into the Python module
// defines it, so nothing there can change the factory's choice.
[[nodiscard]] ProcessorTier tier_cap();

}  // namespace testing

}  // namespace rimble
