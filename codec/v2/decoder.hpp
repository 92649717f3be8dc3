// codec/v2/decoder.hpp: decoding version-2 containers, whole or a range of samples, on one or more threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <vector>

#include "codec/common/error.hpp"
#include "codec/v2/container.hpp"

namespace quorvel::v2 {

// Samples [start, start + out.size()) of the container into `out`, reading
// only the blocks that hold them, each checked against its CRC-32 first.
// `threads` blocks groups at once (0: one per processor). A damaged container
// is an error that says so, never wrong samples; `out` then holds no meaning.
[[nodiscard]] std::expected<void, QuorvelError> decode_into(std::span<const std::uint8_t> container,
                                                            std::size_t start, std::span<float> out,
                                                            std::size_t threads = 1);

// Every sample of the container, a group of blocks at a time, so that the whole signal is never held:
// visit(start, samples) gets the samples from `start` on, in a buffer of the calling thread's. `threads`
// groups at once (0: one per processor), visited in no set order; after an error, not all of them.
[[nodiscard]] std::expected<void, QuorvelError> decode_groups(
    std::span<const std::uint8_t> container, std::size_t threads,
    const std::function<void(std::size_t, std::span<const float>)>& visit);

// Samples [start, stop) of the container; stop beyond the sample count is an error.
[[nodiscard]] std::expected<std::vector<float>, QuorvelError> decode(std::span<const std::uint8_t> container,
                                                                     std::size_t start, std::size_t stop,
                                                                     std::size_t threads = 1);

// Every sample of the container.
[[nodiscard]] std::expected<std::vector<float>, QuorvelError> decode(std::span<const std::uint8_t> container,
                                                                     std::size_t threads = 1);

// The samples of one lifted block's band integers q: each times its band's step (`steps`), through the
// inverse lifting into `codes`, onto the grid. `codes` and `scratch` as long as q. False when the lifting
// leaves its range or a sample is not finite. (The encoder's trials decode this way too.)
[[nodiscard]] bool lifted_samples(std::span<const std::int32_t> q, std::span<const std::uint32_t> steps,
                                  const Grid& grid, std::span<std::int64_t> codes, std::span<std::int64_t> scratch,
                                  float* out);

// The bytes the container takes (what follows is not its), after the same
// checks of header and index as decoding (not of the blocks' contents).
[[nodiscard]] std::expected<std::size_t, QuorvelError> container_size(
    std::span<const std::uint8_t> container);

}  // namespace quorvel::v2
