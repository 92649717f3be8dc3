// rimble/cpu_features.hpp: the processor features that pick the vector kernels.
#pragma once

namespace rimble {

struct CpuFeatures {
  bool avx2_fma = false;  // AVX2 and FMA, with the YMM state saved by the OS
  bool sse4_2 = false;
  bool sse4_1 = false;
};

// Detected once per process (thread-safe on first use), read-only afterwards.
[[nodiscard]] const CpuFeatures& cpu_features();

}  // namespace rimble
