// codec/aim/stages.hpp: the aimed encoder's stages (input, trial, search), shared by its files.
#pragma once

// How the search works. The decoder computes ((y + mean) * range) + minimum with
// y = inverse transform of c * 2^-scale, so the header's minimum, maximum and
// scale give any quantisation step range * 2^-scale, and the mean is a free
// offset. The signal is transformed once per method, centred on its mid-range
// and scaled to [-1, 1]; a step then only rescales those bands. Each trial step
// is quantised, decoded by the decoder's own reconstruction and measured
// against the samples as given; DEFLATE runs on the chosen candidates only,
// and decompress itself checks the container before it is returned.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "codec/aim/aim.hpp"
#include "codec/v1/container.hpp"
#include "codec/v1/decompressor.hpp"
#include "codec/v2/samples.hpp"
#include "rimble/memory.hpp"
#include "rimble/interfaces.hpp"

namespace quorvel::aim_stages {

using Executor = rimble::DwtExecutor<float>;

inline constexpr float largest_code = 32766.0f;  // |code| stays inside int16 with room for rounding
inline constexpr double float_max = std::numeric_limits<float>::max();

// Resizes a reused buffer; fresh multi-megabyte storage is advised onto huge
// pages first, which saves most of its page faults.
template <class T>
void resize_buffer(std::vector<T>& buffer, std::size_t n) {
  if (buffer.capacity() < n) {
    std::vector<T> fresh;
    fresh.reserve(n);
    rimble::advise_huge_pages(fresh.data(), n * sizeof(T));
    buffer = std::move(fresh);
  }
  buffer.resize(n);
}

// ---------------------------------------------------------------- input (aim_input.cpp)

// Everything one search needs about the signal, fixed for the call.
struct Problem {
  Samples x;
  std::size_t n;
  SignalFacts facts;
  double centre;
  double half_range;
  float minimum;
  Measure measure;
  double margin;  // room left for decoders on other processor tiers, in the target's units
  double goal;    // the target minus the margin
};

// The samples, the target and the options checked, and the problem they pose.
[[nodiscard]] std::expected<Problem, QuorvelError> pose(Samples x, Target target, const AimOptions& options);

// Whether the method's wavelet weights are powers of two (CDF 5/3's lifting
// steps, 1/2 and 1/4): products by them are exact, so fused and separate
// roundings agree, and every processor tier decodes its containers (whose
// output map is never fused) to the same bits.
[[nodiscard]] bool dyadic(CompressionMethod method);

// Room for decoders on other processor tiers in a container of `method`:
// none for a dyadic method, p.margin for the others. The searches leave
// p.margin on every method, as their containers always have.
[[nodiscard]] double tier_margin(const Problem& p, CompressionMethod method);

// Where the step search starts for an error target.
[[nodiscard]] double first_guess(const Problem& p, TargetKind kind);

// ---------------------------------------------------------------- trial (aim_trial.cpp)

// One method's forward transform of z = (x - centre) / divisor, to as many
// levels as the signal allows; fewer levels are a prefix of these bands. The
// searches divide by half the range; a step of the decoder then means a gain
// of divisor / step on these bands.
struct Decomposition {
  CompressionMethod method;
  double divisor;
  std::shared_ptr<const Executor> executor;
  rimble::MultiDwt<float> bands;
  std::vector<float> peaks;  // peaks[L - 1]: largest |coefficient| among the bands L levels store
  std::vector<decoder_stages::BandLayout> layouts;  // layouts[L - 1]: the stream of L levels
};

[[nodiscard]] std::expected<Decomposition, QuorvelError> decompose(const Problem& p, CompressionMethod method,
                                                                   double divisor);

// Header values that make the decoder's step range * 2^-scale, with range =
// maximum - minimum in float32 as the decoder forms it, and the signal's centre
// mapped to y = 0.
struct Framing {
  float minimum;
  float maximum;
  float mean;
  std::uint8_t scale;
  double step;  // the step the decoder will use
};

// The largest step any framing can carry for this minimum.
[[nodiscard]] double step_cap(float minimum);

// One trial: the codes in stream order (deepest approximation band, then the
// detail bands finest first) and the error they decode to.
struct Trial {
  std::size_t levels = 0;
  Framing framing{};
  float rounding = 0.5f;
  std::vector<std::int16_t> codes;
  double error = std::numeric_limits<double>::infinity();  // in the target's units
};

// The header of a trial's container.
[[nodiscard]] ContainerHeader header_of(CompressionMethod method, std::size_t n, const Trial& trial);

// Buffers reused across the trials of a search: the decoded samples, and a
// code array that the next trial fills unless a kept trial took it.
struct Workspace {
  std::vector<float> samples;
  std::vector<std::int16_t> spare_codes;

  void recycle(Trial&& trial) { spare_codes = std::move(trial.codes); }
};

// A trial at (about) `step` with the nearest framing and `levels` levels (0:
// the most that fit); none when the step is too fine for int16 codes at those
// levels or for the header's floats.
[[nodiscard]] std::expected<std::optional<Trial>, QuorvelError> try_step(const Problem& p, const Decomposition& d,
                                                                         double step, float rounding, Workspace& ws,
                                                                         std::size_t levels = 0);

// The coefficient stream's bytes, int16 little-endian: the codes' own memory
// on little-endian hosts, a byte-swapped copy in `scratch` elsewhere.
[[nodiscard]] std::span<const std::uint8_t> stream_bytes(std::span<const std::int16_t> codes,
                                                         std::vector<std::uint8_t>& scratch);

[[nodiscard]] std::expected<std::size_t, QuorvelError> payload_size(const Trial& trial, int level);

// ---------------------------------------------------------------- search (aim_search.cpp)

struct SearchLimits {
  int rounds;        // trials after which a found step is good enough
  double precision;  // stop when the feasible and infeasible steps are this close (relative)
  double near_goal;  // ... or when a feasible error is this close to the goal (relative)
};

// The largest step whose trial meets the goal; none when even the finest step
// fails.
[[nodiscard]] std::expected<std::optional<Trial>, QuorvelError> search_error(const Problem& p, const Decomposition& d,
                                                                             float rounding, double guess,
                                                                             SearchLimits limits, Workspace& ws);

// A trial that fits a byte budget, with its payload size at the level it was measured.
struct Sized {
  Trial trial;
  std::size_t bytes;
};

// The finest step whose container fits the budget; none when even the
// coarsest step's container does not.
[[nodiscard]] std::expected<std::optional<Sized>, QuorvelError> search_size(const Problem& p, const Decomposition& d,
                                                                            float rounding, double budget, int level,
                                                                            SearchLimits limits, Workspace& ws);

// ---------------------------------------------------------------- fallback (aim_fallback.cpp)

// The container that meets `target`, taken from candidates that do not depend
// on its value: per method, the finest step (for a budget, the coarsest), the
// exact steps of CDF 5/3, and on short signals every fixed setting. Otherwise
// Unreachable naming the best figure among them, which a second call for that
// figure then finds again. `methods` are those the caller allows.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> fallback(
    const Problem& p, std::span<const CompressionMethod> methods, Target target, int level);

}  // namespace quorvel::aim_stages
