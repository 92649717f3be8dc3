// rimble/sse/filter_padding.cpp: the plain arena writer compiled for SSE4.1.
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include "rimble/filter_padding.hpp"

namespace rimble {

[[gnu::target("sse4.1")]] Result<void> write_arena_1d_sse4_1(std::span<const float> src, std::span<float> arena,
                                                             std::size_t left, std::size_t right, BorderMode mode) {
  return detail::write_arena_1d_portable(src, arena, left, right, mode);
}

}  // namespace rimble

#endif
