// rimble/filter_padding.cpp: the plain arena writer and the dispatch.
#include "rimble/filter_padding.hpp"

#include "rimble/cpu_features.hpp"

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

ArenaWriter1d ArenaWriterDispatch::get() const {
  // A function-local static is initialised once, thread-safely, on first use.
  static const ArenaWriter1d chosen = [] {
#if defined(__x86_64__)
    const CpuFeatures& features = cpu_features();
    if (features.avx2_fma) return &write_arena_1d_avx;
    if (features.sse4_1) return &write_arena_1d_sse4_1;
#endif
    return &write_arena_1d_impl;
  }();
  return chosen;
}

}  // namespace rimble
