// rimble/strip_inverse.hpp: multi-level inverses of quantised bands, each band and sample touched once.
//
// A decoder that dequantises every band, runs the levels and then maps the
// result walks the whole signal three times through memory. Here the levels
// run coarsest first, each one widening its 16-bit details as it reads them
// and, on the finest level, applying the output map as it writes: whole, where
// the executor's kernel takes 16-bit details itself, or a cache-sized strip at
// a time through a small buffer. The coarser levels' reconstructions live in
// the output until the finest level overwrites them, and level 1's in one
// block of working memory (rimble::WorkingMemory).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "rimble/err.hpp"
#include "rimble/interfaces.hpp"
#include "rimble/memory.hpp"
#include "rimble/records.hpp"

namespace rimble::strips {

// Coefficient pairs per strip: bands, buffers and output of one strip stay in
// the second-level cache.
inline constexpr std::size_t kStripPairs = 2048;

// out[i] = c[i] * step, the integer converted first.
inline void widen(std::span<const std::int16_t> c, float step, float* out) {
  for (std::size_t i = 0; i < c.size(); ++i) out[i] = static_cast<float>(c[i]) * step;
}

// Calls body(begin, end) for strips covering [0, pairs): kStripPairs each but
// the last, which takes the remainder with it (kStripPairs to 2 kStripPairs - 1
// pairs, or all of them when there are fewer). No strip is shorter than a
// vector kernel's register unless the whole band is.
template <class Body>
[[nodiscard]] Result<void> for_each_strip(std::size_t pairs, Body body) {
  const std::size_t count = std::max<std::size_t>(1, pairs / kStripPairs);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t end = i + 1 == count ? pairs : (i + 1) * kStripPairs;
    if (auto done = body(i * kStripPairs, end); !done) return done;
  }
  return {};
}

// The reference road: every band dequantised into an array of its own, then
// multi_idwt and the map. Taken for band sizes the strip road does not plan,
// so that they fail with multi_idwt's own errors.
[[nodiscard]] inline Result<void> dequantised_multi_idwt(const DwtExecutor<float>& executor,
                                                         const QuantisedMultiDwtView<float>& view, OutputMap<float> map,
                                                         std::span<float> output) {
  return executor.DwtExecutor<float>::multi_idwt_quantised(view, map, output);
}

// Runs the levels coarsest first. outputs[k] is the reconstruction length of
// level k (0 the finest), already checked by the executor's plan;
// level(approx, details, out, last, strip) runs one level into out, which is
// the caller's uninitialised `result` for the finest level (last) and a region
// of working memory otherwise; strip is strip_floats samples of room.
//
// Level k's reconstruction is level k-1's approximation band. Levels 2 and up
// take two regions in turn, so the one being read is never written, and with
// the widened coarsest band they fit in `result`, which only the finest level
// writes, once level 1 has read them: fresh memory is then needed only for
// level 1's reconstruction (and the strip), half a signal where a separate
// block for every level would take three quarters. Fresh pages are most of
// what a decoder's working memory costs.
template <class Level>
[[nodiscard]] Result<void> run_levels(const QuantisedMultiDwtView<float>& view, std::span<const std::size_t> outputs,
                                      std::size_t strip_floats, std::span<float> result, Level level) {
  if (result.size() != outputs[0]) return std::unexpected(RimbleError::output_size_mismatch(outputs[0], result.size()));
  const std::size_t levels = outputs.size();
  std::size_t region[2] = {0, 0};  // even levels from 2, odd levels from 3
  for (std::size_t k = 2; k < levels; ++k) region[k % 2] = std::max(region[k % 2], outputs[k]);
  const std::size_t coarsest = view.approximations.size();
  const std::size_t first = levels > 1 ? outputs[1] : 0;
  const bool in_result = levels > 1 && coarsest + region[0] + region[1] <= result.size();

  const std::size_t total = first + strip_floats + (in_result ? 0 : coarsest + region[0] + region[1]);
  const WorkingMemory<float> memory(total);
  if (memory.data() == nullptr) return std::unexpected(RimbleError::allocation_failed(total * sizeof(float)));
  float* const level_one = memory.data();
  const std::span<float> strip(level_one + first, strip_floats);
  float* const coarser = in_result ? result.data() : strip.data() + strip_floats;  // coarsest, then both regions
  widen(view.approximations, view.step, coarser);
  float* const regions[2] = {coarser + coarsest, coarser + coarsest + region[0]};

  std::span<const float> approx(coarser, coarsest);
  for (std::size_t k = levels; k-- > 0;) {
    float* const home = k == 0 ? result.data() : k == 1 ? level_one : regions[k % 2];
    const std::span<float> out(home, outputs[k]);
    if (auto done = level(approx, view.details[k], out, k == 0, strip); !done) return done;
    approx = out;
  }
  return {};
}

}  // namespace rimble::strips
