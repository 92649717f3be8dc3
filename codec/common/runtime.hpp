// codec/common/runtime.hpp: what the codec's callers see of rimble: the blocks decoded samples come in, and
// the processor tier the kernels run on.
#pragma once

#include <string_view>

#include "rimble/memory.hpp"
#include "rimble/processor_tier.hpp"

namespace quorvel {

// Samples the decoders return, in memory that large signals take from the operating system directly.
template <class T>
using LargeBlock = rimble::LargeBlock<T>;

// The processor tier the wavelets and the codec's kernels run on: "portable", or the vector tier's name.
[[nodiscard]] inline std::string_view processor_tier_name() { return rimble::tier_name(rimble::processor_tier()); }

}  // namespace quorvel
