// rimble/filter_padding.hpp: copying a signal into an arena with its border
// extensions, and the choice of the routine that does it, by processor tier.
#pragma once

#include <cstddef>
#include <span>

#include "rimble/arch.hpp"
#include "rimble/border_mode.hpp"
#include "rimble/err.hpp"
#include "rimble/processor_tier.hpp"

namespace rimble {

// Arena layout for a source of n samples and left/right extensions:
//   arena[0 .. left)               extended samples at x = -left .. -1
//   arena[left .. left + n)        the source
//   arena[left + n .. A)           extended samples at x = n .. n + right - 1
// The lengths must satisfy n + left + right == A; anything else is a
// programming error and ends the process. The writers never fail otherwise,
// but return a Result so that callers pass any failure on unchanged.
using ArenaWriter1d = Result<void> (*)(std::span<const float> src, std::span<float> arena, std::size_t left,
                                       std::size_t right, BorderMode mode);

// Plain routine.
[[nodiscard]] Result<void> write_arena_1d_impl(std::span<const float> src, std::span<float> arena, std::size_t left,
                                               std::size_t right, BorderMode mode);
#if RIMBLE_ARCH(X86_64)
// The plain routine built for processors with SSE4.1 (rimble/sse/filter_padding.cpp).
[[nodiscard]] Result<void> write_arena_1d_sse4_1(std::span<const float> src, std::span<float> arena,
                                                 std::size_t left, std::size_t right, BorderMode mode);
// Maps four extension indices at a time in AVX2 registers (rimble/avx/filter_padding.cpp).
[[nodiscard]] Result<void> write_arena_1d_avx(std::span<const float> src, std::span<float> arena, std::size_t left,
                                              std::size_t right, BorderMode mode);
#endif

// The writer of a tier: the AVX2 one from the Avx tier up, the SSE4.1 one on
// the Sse tier, the plain one otherwise.
[[nodiscard]] ArenaWriter1d arena_writer(ProcessorTier tier);

// The writer of the tier the factory builds for, processor_tier(): the same on
// every call of a process, except where a test binary lowers the tier cap.
class ArenaWriterDispatch {
 public:
  [[nodiscard]] ArenaWriter1d get() const;
};
inline constexpr ArenaWriterDispatch MAKE_ARENA_1D_DISPATCH{};

// How a sample type supplies its arena writer.
template <class T>
struct MakeArenaFactoryProvider;

template <>
struct MakeArenaFactoryProvider<float> {
  [[nodiscard]] static ArenaWriter1d make_arena_writer_1d_executor() { return MAKE_ARENA_1D_DISPATCH.get(); }
};

namespace detail {

// Ends the process when the arena lengths do not add up.
void check_arena_lengths(std::size_t n, std::size_t arena, std::size_t left, std::size_t right);

// The body of the plain writer, forced inline so that the SSE4.1 build of it
// is compiled for that target and nothing is shared with the baseline copy.
[[gnu::always_inline]] inline Result<void> write_arena_1d_portable(std::span<const float> src,
                                                                   std::span<float> arena, std::size_t left,
                                                                   std::size_t right, BorderMode mode) {
  check_arena_lengths(src.size(), arena.size(), left, right);
  std::copy(src.begin(), src.end(), arena.begin() + static_cast<std::ptrdiff_t>(left));
  if (left == 0 && right == 0) return {};
  const BorderInterpolation border(mode, 0, static_cast<std::int64_t>(src.size()));
  const auto first = -static_cast<std::int64_t>(left);
  for (std::size_t k = 0; k < left; ++k) arena[k] = border.sample(src, first + static_cast<std::int64_t>(k));
  const std::size_t n = src.size();
  for (std::size_t i = 0; i < right; ++i) {
    arena[left + n + i] = border.sample(src, static_cast<std::int64_t>(n + i));
  }
  return {};
}

}  // namespace detail

}  // namespace rimble
