// rimble/avx/cdf53f.cpp: AVX2 CDF 5/3 lifting kernels (see rimble/avx/lifting.hpp).
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include "rimble/avx/cdf53f.hpp"

#include <array>

#include "rimble/avx/lifting.hpp"

namespace rimble::avx::cdf53f {

namespace {

using rimble::cdf53f::Cdf53;
using namespace rimble::avx::lifting;

struct ForwardPipeline {
  static constexpr std::size_t kLag = 1;
  const float* x;
  float* approx;
  float* details;
  std::size_t second;
  PredictStage predict;
  UpdateStage update;

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block load(std::size_t j) const {
    return load_split(x + 8 * j, x + 2 * second + 8 * j);
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] Block lift(Block b) { return update.push(predict.push(b)); }
  [[gnu::target("avx2,fma"), gnu::always_inline]] void store(std::size_t j, Block b) const {
    store_lanes(approx + 4 * j, approx + second + 4 * j, b.even);
    store_lanes(details + 4 * j, details + second + 4 * j, b.odd);
  }
};

template <class Details, class Map>
struct InversePipeline {
  static constexpr std::size_t kLag = 1;
  const float* approx;
  const Details& details;
  float* output;
  std::size_t second;
  Map map;
  UpdateStage undo_update;
  PredictStage undo_predict;

  [[gnu::target("avx2,fma"), gnu::always_inline]] static InversePipeline start(const float* approx,
                                                                               const Details& details, float* output,
                                                                               std::size_t second, Map map) {
    const __m256 zero = _mm256_setzero_ps();
    return {approx, details, output, second, map, {rimble::cdf53f::kUndoUpdate, zero},
            {rimble::cdf53f::kUndoPredict, {zero, zero}}};
  }

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block load(std::size_t j) const {
    return {load_lanes(approx + 4 * j, approx + second + 4 * j), details.load(j, second)};
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] Block lift(Block b) {
    return undo_predict.push(undo_update.push(b));
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] void store(std::size_t j, Block b) const {
    store_merged(output + 8 * j, output + 2 * second + 8 * j, b, map);
  }
};

}  // namespace

void AvxCdf53::execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                    std::span<float> details) {
  const auto lanes = plan<ForwardPipeline::kLag>(details.size());
  if (!lanes) {
    Cdf53::execute_forward_impl(input, approximations, details);
    return;
  }
  const __m256 zero = _mm256_setzero_ps();
  ForwardPipeline pipeline{input.data(), approximations.data(), details.data(), lanes->second,
                           {rimble::cdf53f::kPredict, {zero, zero}}, {rimble::cdf53f::kUpdate, zero}};
  stream(pipeline, lanes->steps);
  forward_ends<Cdf53>(input, approximations, details, lanes->tail);
}

void AvxCdf53::execute_inverse_impl(std::span<const float> approximations, std::span<const float> details,
                                    std::span<float> output, std::span<float> /*work*/) {
  inverse_of_floats<Cdf53, InversePipeline>(approximations, details, output);
}

void AvxCdf53::execute_inverse_quantised_impl(std::span<const float> approximations,
                                              std::span<const std::int16_t> details, float step,
                                              std::span<float> output, const OutputMap<float>* map) {
  inverse_of_codes<Cdf53, InversePipeline>(approximations, details, step, output, map);
}

}  // namespace rimble::avx::cdf53f

#endif
