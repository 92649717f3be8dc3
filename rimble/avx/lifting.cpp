// rimble/avx/lifting.cpp: the lifting schemes on AVX2 with fused multiply-add: one pipeline, written
// once over the scheme (AvxCdf53 and AvxCdf97).
//
// A vector kernel streams the signal once through a chain of lifting stages held in registers,
// instead of one pass over memory per step. Each 256-bit register carries two independent
// stretches of the signal, one per 128-bit lane: lane 0 runs from pair 0 and lane 1 from pair
// `second` (a pair is x[2i], x[2i+1]), four pairs per lane and step. A lifting step only ever
// looks one pair left or right, so with the two stretches side by side every neighbour shift
// stays inside its lane (vpalignr) and no instruction has to cross lanes.
//
// A predict needs even[i+1], which lies in the next step's block, so each predict stage hands
// out the block before the one it was given; an update needs odd[i-1], which it keeps from the
// previous block. The chain's output is therefore kLag steps (its number of predicts) behind its
// input. The stages start with zeros in place of the blocks before the first, so the first pairs
// of each lane's block 0 come out wrong (each predict-update pair spreads the error by one pair):
// block 0 is never stored. The pipeline reads only real samples, so every block it stores is
// free of the mirror rules. Lane 1 starts where lane 0's last stored block ends, so the stored
// pairs are contiguous: [kHeadPairs, tail).
//
// The first kHeadPairs pairs and the pairs from tail on are computed by the portable kernel on
// short windows with kMargin pairs to spare, whose own (artificial) mirror at the window's inner
// edge reaches only a few pairs in. Where the powers-of-two weights of CDF 5/3 make fused and
// separate rounding agree, the result is bit-identical to the portable executor.
//
// A decoder's inverse reads its detail coefficients as 16-bit integers and maps the samples it
// writes: QuantisedDetails widens each block as it is loaded (c * step, rounded as a separate
// widening pass rounds it) and Mapped applies the output map as each block is stored, so each
// level is one pass over memory and gives the bits of widening, inverse and map one after another.
#include "rimble/avx/lifting.hpp"

#if RIMBLE_ARCH(X86_64)

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "rimble/records.hpp"

namespace rimble::avx {
namespace {

inline constexpr std::size_t kPairsPerLane = 4;
inline constexpr std::size_t kHeadPairs = kPairsPerLane;
inline constexpr std::size_t kMargin = 8;
// Longest window the portable kernel sees from a vector kernel: whole signals too short to
// stream (under 2 * (4 kLag + 12) + 1 samples), and tails (under 4 kLag + 9 pairs, plus the margin).
inline constexpr std::size_t kMaxScalarSamples = 128;

// Four consecutive pairs of the two half-rate sequences in each lane.
struct Block {
  __m256 even;
  __m256 odd;
};

// v[i+1] in each lane, the last element taken from next[0].
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 following(__m256 v, __m256 next) {
  return _mm256_castsi256_ps(_mm256_alignr_epi8(_mm256_castps_si256(next), _mm256_castps_si256(v), 4));
}

// v[i-1] in each lane, the first element taken from previous[3].
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 preceding(__m256 v, __m256 previous) {
  return _mm256_castsi256_ps(_mm256_alignr_epi8(_mm256_castps_si256(v), _mm256_castps_si256(previous), 12));
}

// Lane 0 from p0, lane 1 from p1.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 load_lanes(const float* p0, const float* p1) {
  return _mm256_loadu2_m128(p1, p0);
}

[[gnu::target("avx2,fma"), gnu::always_inline]] inline void store_lanes(float* p0, float* p1, __m256 v) {
  _mm256_storeu2_m128(p1, p0, v);
}

// Eight samples from each of p0 and p1 into evens and odds.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline Block load_split(const float* p0, const float* p1) {
  const __m256 lo = load_lanes(p0, p1);
  const __m256 hi = load_lanes(p0 + 4, p1 + 4);
  return {_mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)), _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1))};
}

// The samples an inverse writes, as they are: vector() per register, scalar() per sample.
struct Unmapped {
  [[gnu::target("avx2,fma"), gnu::always_inline]] __m256 vector(__m256 v) const { return v; }
  float scalar(float y) const { return y; }
};

// The samples an inverse writes, through an output map: ((y + shift) * scale) + offset, rounded
// after each operation as OutputMap rounds it.
struct Mapped {
  OutputMap<float> map;

  [[gnu::target("avx2,fma"), gnu::always_inline]] __m256 vector(__m256 v) const {
    const __m256 shifted = _mm256_add_ps(v, _mm256_set1_ps(map.shift));
    return _mm256_add_ps(_mm256_mul_ps(shifted, _mm256_set1_ps(map.scale)), _mm256_set1_ps(map.offset));
  }
  float scalar(float y) const { return map(y); }
};

// The inverse of load_split, through `map`: e0 o0 e1 o1 e2 o2 e3 o3 of each lane to p0 and p1.
template <class Map = Unmapped>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void store_merged(float* p0, float* p1, Block b,
                                                                         const Map& map = {}) {
  store_lanes(p0, p1, map.vector(_mm256_unpacklo_ps(b.even, b.odd)));
  store_lanes(p0 + 4, p1 + 4, map.vector(_mm256_unpackhi_ps(b.even, b.odd)));
}

// An inverse's detail coefficients. load(j, second): four from pair 4j in lane 0 and four from
// pair second + 4j in lane 1. window(first, count): count of them from `first` as floats, for the
// portable kernel at the ends (at most kMaxScalarSamples; the span lives until the next call).
struct FloatDetails {
  std::span<const float> values;

  [[gnu::target("avx2,fma"), gnu::always_inline]] __m256 load(std::size_t j, std::size_t second) const {
    return load_lanes(values.data() + 4 * j, values.data() + second + 4 * j);
  }
  std::span<const float> window(std::size_t first, std::size_t count) const { return values.subspan(first, count); }
};

// 16-bit coefficients, widened to c * step as they are loaded.
struct QuantisedDetails {
  std::span<const std::int16_t> values;
  float step;
  std::array<float, kMaxScalarSamples> widened{};

  [[gnu::target("avx2,fma"), gnu::always_inline]] __m256 load(std::size_t j, std::size_t second) const {
    const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(values.data() + 4 * j));
    const __m128i other = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(values.data() + second + 4 * j));
    const __m256i wide = _mm256_cvtepi16_epi32(_mm_unpacklo_epi64(first, other));
    return _mm256_mul_ps(_mm256_cvtepi32_ps(wide), _mm256_set1_ps(step));
  }
  std::span<const float> window(std::size_t first, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) widened[i] = static_cast<float>(values[first + i]) * step;
    return std::span<const float>(widened).first(count);
  }
};

// odd[i] = (even[i] + even[i+1]) * w + odd[i], one step behind its input.
struct PredictStage {
  float w;
  Block held;

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block push(Block in) {
    const Block out{held.even, _mm256_fmadd_ps(_mm256_add_ps(held.even, following(held.even, in.even)),
                                               _mm256_set1_ps(w), held.odd)};
    held = in;
    return out;
  }
};

// even[i] = (odd[i-1] + odd[i]) * w + even[i], on the block it is given.
struct UpdateStage {
  float w;
  __m256 previous_odd;

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block push(Block in) {
    const __m256 left = preceding(in.odd, previous_odd);
    previous_odd = in.odd;
    return {_mm256_fmadd_ps(_mm256_add_ps(left, in.odd), _mm256_set1_ps(w), in.even), in.odd};
  }
};

// How the two lanes cover a signal: `steps` blocks each, lane 1 starting at pair `second`;
// the pipeline stores pairs [kHeadPairs, tail).
struct Lanes {
  std::size_t steps;
  std::size_t second;
  std::size_t tail;
};

// Lane 0's last stored pair is 4 (steps - kLag) - 1, so lane 1 starts its stored pairs (from its
// block 1) there: second = 4 (steps - kLag - 1). Lane 1 reads pairs up to second + 4 steps - 1,
// which must exist in both half-rate sequences. Too short a signal (no room for a block 1 in
// lane 1) is left wholly to the portable kernel.
template <std::size_t kLag>
constexpr std::optional<Lanes> plan(std::size_t details_length) {
  const std::size_t steps = (details_length + kPairsPerLane * (kLag + 1)) / (2 * kPairsPerLane);
  if (steps < kLag + 2) {
    return std::nullopt;
  }
  const std::size_t second = kPairsPerLane * (steps - kLag - 1);
  return Lanes{steps, second, second + kPairsPerLane * (steps - kLag)};
}

// Feeds steps 0 .. steps-1 through the pipeline and stores output steps 1 .. steps-1-kLag.
// Pipeline provides kLag, load(j), lift(block) and store(j, block).
template <class Pipeline>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void stream(Pipeline& pipeline, std::size_t steps) {
  for (std::size_t j = 0; j < steps; ++j) {
    const Block out = pipeline.lift(pipeline.load(j));
    if (j > Pipeline::kLag) {
      pipeline.store(j - Pipeline::kLag, out);
    }
  }
}

// The portable forward kernel on the first kHeadPairs pairs and on pairs from tail on.
template <class Portable>
void forward_ends(std::span<const float> x, std::span<float> approx, std::span<float> details, std::size_t tail) {
  std::array<float, kMaxScalarSamples> a{}, d{};
  const std::size_t head_pairs = kHeadPairs + kMargin;
  Portable::execute_forward_impl(x.first(2 * head_pairs), std::span(a).first(head_pairs),
                                 std::span(d).first(head_pairs));
  std::copy_n(a.begin(), kHeadPairs, approx.begin());
  std::copy_n(d.begin(), kHeadPairs, details.begin());

  const std::size_t start = tail - kMargin;
  const std::span<const float> window = x.subspan(2 * start);
  const std::size_t wa = (window.size() + 1) / 2, wd = window.size() / 2;
  Portable::execute_forward_impl(window, std::span(a).first(wa), std::span(d).first(wd));
  std::copy(a.begin() + kMargin, a.begin() + wa, approx.begin() + tail);
  std::copy(d.begin() + kMargin, d.begin() + wd, details.begin() + tail);
}

// The portable inverse kernel on the first kHeadPairs pairs and on pairs from tail on, through
// `map`; `details` as above.
template <class Portable, class Details, class Map>
void inverse_ends(std::span<const float> approx, Details& details, std::span<float> output, std::size_t tail,
                  const Map& map) {
  std::array<float, kMaxScalarSamples> y{}, work{};
  const std::size_t head_pairs = kHeadPairs + kMargin;
  Portable::execute_inverse_impl(approx.first(head_pairs), details.window(0, head_pairs),
                                 std::span(y).first(2 * head_pairs), work);
  std::transform(y.begin(), y.begin() + 2 * kHeadPairs, output.begin(), [&map](float v) { return map.scalar(v); });

  const std::size_t start = tail - kMargin;
  const std::size_t n = output.size() - 2 * start;
  const std::size_t detail_count = output.size() - approx.size();
  Portable::execute_inverse_impl(approx.subspan(start), details.window(start, detail_count - start),
                                 std::span(y).first(n), work);
  std::transform(y.begin() + 2 * kMargin, y.begin() + n, output.begin() + 2 * tail,
                 [&map](float v) { return map.scalar(v); });
}

// A level too short to stream, wholly on the portable kernel, through `map`.
template <class Portable, class Details, class Map>
void inverse_short(std::span<const float> approx, Details& details, std::span<float> output, const Map& map) {
  std::array<float, kMaxScalarSamples> work{};
  Portable::execute_inverse_impl(approx, details.window(0, output.size() - approx.size()), output, work);
  for (float& v : output) v = map.scalar(v);
}

// A scheme's forward chain: split, its predict-update pairs, and its scaling as the blocks are
// stored. With one predict per pair, the stored block is kLag = pairs behind the loaded one.
template <const auto& kScheme>
struct ForwardPipeline {
  static constexpr std::size_t kLag = kScheme.steps.size();
  const float* x;
  float* approx;
  float* details;
  std::size_t second;
  std::array<PredictStage, kLag> predicts;
  std::array<UpdateStage, kLag> updates;

  [[gnu::target("avx2,fma"), gnu::always_inline]] static ForwardPipeline start(const float* x, float* approx,
                                                                               float* details, std::size_t second) {
    ForwardPipeline pipeline{x, approx, details, second, {}, {}};
    const __m256 zero = _mm256_setzero_ps();
    for (std::size_t k = 0; k < kLag; ++k) {
      pipeline.predicts[k] = {kScheme.steps[k].predict, {zero, zero}};
      pipeline.updates[k] = {kScheme.steps[k].update, zero};
    }
    return pipeline;
  }

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block load(std::size_t j) const {
    return load_split(x + 8 * j, x + 2 * second + 8 * j);
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] Block lift(Block b) {
    #pragma GCC unroll 4
    for (std::size_t k = 0; k < kLag; ++k) b = updates[k].push(predicts[k].push(b));
    return b;
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] void store(std::size_t j, Block b) const {
    if constexpr (kScheme.scaled) {
      b = {_mm256_mul_ps(b.even, _mm256_set1_ps(kScheme.k)), _mm256_mul_ps(b.odd, _mm256_set1_ps(kScheme.k_prime))};
    }
    store_lanes(approx + 4 * j, approx + second + 4 * j, b.even);
    store_lanes(details + 4 * j, details + second + 4 * j, b.odd);
  }
};

// Unscale, then the pairs undone in reverse order with negated weights, then interleave.
template <const auto& kScheme, class Details, class Map>
struct InversePipeline {
  static constexpr std::size_t kLag = kScheme.steps.size();
  const float* approx;
  const Details& details;
  float* output;
  std::size_t second;
  Map map;
  std::array<UpdateStage, kLag> undo_updates;
  std::array<PredictStage, kLag> undo_predicts;

  [[gnu::target("avx2,fma"), gnu::always_inline]] static InversePipeline start(const float* approx,
                                                                               const Details& details, float* output,
                                                                               std::size_t second, Map map) {
    InversePipeline pipeline{approx, details, output, second, map, {}, {}};
    const __m256 zero = _mm256_setzero_ps();
    for (std::size_t k = 0; k < kLag; ++k) {
      pipeline.undo_updates[k] = {-kScheme.steps[k].update, zero};
      pipeline.undo_predicts[k] = {-kScheme.steps[k].predict, {zero, zero}};
    }
    return pipeline;
  }

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block load(std::size_t j) const {
    Block b{load_lanes(approx + 4 * j, approx + second + 4 * j), details.load(j, second)};
    if constexpr (kScheme.scaled) {
      b = {_mm256_mul_ps(b.even, _mm256_set1_ps(kScheme.k_prime)), _mm256_mul_ps(b.odd, _mm256_set1_ps(kScheme.k))};
    }
    return b;
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] Block lift(Block b) {
    #pragma GCC unroll 4
    for (std::size_t undone = 0; undone < kLag; ++undone) {
      const std::size_t k = kLag - 1 - undone;
      b = undo_predicts[k].push(undo_updates[k].push(b));
    }
    return b;
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] void store(std::size_t j, Block b) const {
    store_merged(output + 8 * j, output + 2 * second + 8 * j, b, map);
  }
};

// One inverse level of a scheme: the vector pipeline over the two lanes and the portable kernel at
// the ends, or on the whole of a level too short to stream.
template <const auto& kScheme, class Details, class Map>
[[gnu::target("avx2,fma")]] void inverse_level(std::span<const float> approx, Details& details,
                                               std::span<float> output, const Map& map) {
  using Portable = rimble::lifting::PortableLifting<kScheme>;
  using Pipeline = InversePipeline<kScheme, Details, Map>;
  const auto lanes = plan<Pipeline::kLag>(output.size() - approx.size());
  if (!lanes) {
    inverse_short<Portable>(approx, details, output, map);
    return;
  }
  auto pipeline = Pipeline::start(approx.data(), details, output.data(), lanes->second, map);
  stream(pipeline, lanes->steps);
  inverse_ends<Portable>(approx, details, output, lanes->tail, map);
}

}  // namespace

template <const auto& kScheme>
void AvxLifting<kScheme>::execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                               std::span<float> details) {
  using Portable = rimble::lifting::PortableLifting<kScheme>;
  const auto lanes = plan<ForwardPipeline<kScheme>::kLag>(details.size());
  if (!lanes) {
    Portable::execute_forward_impl(input, approximations, details);
    return;
  }
  auto pipeline =
      ForwardPipeline<kScheme>::start(input.data(), approximations.data(), details.data(), lanes->second);
  stream(pipeline, lanes->steps);
  forward_ends<Portable>(input, approximations, details, lanes->tail);
}

template <const auto& kScheme>
void AvxLifting<kScheme>::execute_inverse_impl(std::span<const float> approximations, std::span<const float> details,
                                               std::span<float> output, std::span<float> /*work*/) {
  FloatDetails floats{details};
  inverse_level<kScheme>(approximations, floats, output, Unmapped{});
}

template <const auto& kScheme>
void AvxLifting<kScheme>::execute_inverse_quantised_impl(std::span<const float> approximations,
                                                         std::span<const std::int16_t> details, float step,
                                                         std::span<float> output, const OutputMap<float>* map) {
  QuantisedDetails codes{details, step};
  if (map != nullptr) {
    inverse_level<kScheme>(approximations, codes, output, Mapped{*map});
  } else {
    inverse_level<kScheme>(approximations, codes, output, Unmapped{});
  }
}

template class AvxLifting<rimble::cdf53f::kScheme>;
template class AvxLifting<rimble::cdf97f::kScheme>;

}  // namespace rimble::avx

#endif
