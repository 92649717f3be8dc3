// codec/common/kernel_tiers.hpp: which of a part's kernel tables a processor tier runs.
//
// A part of the codec whose loops have AVX2 versions keeps one constant table of function pointers per
// tier: its portable kernels, and its AVX2 ones where the build has them (x86-64). The table follows
// rimble::processor_tier(), so a test binary that caps that tier caps the codec's kernels too.
#pragma once

#include <optional>

#include "rimble/processor_tier.hpp"

namespace quorvel {

template <class Kernels>
struct KernelTables {
  Kernels portable;
  std::optional<Kernels> avx2 = std::nullopt;  // none where the build has no AVX2 kernels

  // AVX2 on rimble's Avx tier and up (AVX2 and FMA), portable below it and where the build has none.
  [[nodiscard]] constexpr const Kernels& of(rimble::ProcessorTier tier) const {
    return avx2 && tier >= rimble::ProcessorTier::Avx ? *avx2 : portable;
  }
};

}  // namespace quorvel
