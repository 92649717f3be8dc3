// rimble/filter_padding.cpp: the plain arena writer and the choice by tier.
#include "rimble/filter_padding.hpp"

namespace rimble {

namespace detail {

void check_arena_lengths(std::size_t n, std::size_t arena, std::size_t left, std::size_t right) {
  // Written so that no sum can wrap: n + left + right == arena.
  if (left > arena || right > arena - left || n != arena - left - right) {
    fatal("internal error: entered unreachable code: This is an internal configuration error. Please, report it.");
  }
}

}  // namespace detail

Result<void> write_arena_1d_impl(std::span<const float> src, std::span<float> arena, std::size_t left,
                                 std::size_t right, BorderMode mode) {
  return detail::write_arena_1d_portable(src, arena, left, right, mode);
}

ArenaWriter1d arena_writer([[maybe_unused]] ProcessorTier tier) {
#if RIMBLE_ARCH(X86_64)
  // Every x86-64 tier from Avx up runs AVX2; the Sse tier's SSE4.2 includes SSE4.1.
  if (tier >= ProcessorTier::Avx) return &write_arena_1d_avx;
  if (tier >= ProcessorTier::Sse) return &write_arena_1d_sse4_1;
#endif
  return &write_arena_1d_impl;
}

ArenaWriter1d ArenaWriterDispatch::get() const { return arena_writer(processor_tier()); }

}  // namespace rimble
