// rimble/avx/cdf97f.cpp: AVX2 CDF 9/7 lifting kernels (see rimble/avx/lifting.hpp).
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include "rimble/avx/cdf97f.hpp"

#include <array>

#include "rimble/avx/lifting.hpp"

namespace rimble::avx::cdf97f {

namespace {

using rimble::cdf97f::Cdf97;
using namespace rimble::avx::lifting;
using namespace rimble::cdf97f;  // the lifting constants

// Split, predict (alpha), update (beta), predict (gamma), update (delta), scale: two predicts, so
// the stored block is two behind the loaded one.
struct ForwardPipeline {
  static constexpr std::size_t kLag = 2;
  const float* x;
  float* approx;
  float* details;
  std::size_t second;
  PredictStage predict1;
  UpdateStage update1;
  PredictStage predict2;
  UpdateStage update2;

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block load(std::size_t j) const {
    return load_split(x + 8 * j, x + 2 * second + 8 * j);
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] Block lift(Block b) {
    return update2.push(predict2.push(update1.push(predict1.push(b))));
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] void store(std::size_t j, Block b) const {
    store_lanes(approx + 4 * j, approx + second + 4 * j, _mm256_mul_ps(b.even, _mm256_set1_ps(kK)));
    store_lanes(details + 4 * j, details + second + 4 * j, _mm256_mul_ps(b.odd, _mm256_set1_ps(kKPrime)));
  }
};

// Unscale, then the four steps undone in reverse order with negated weights, then interleave.
template <class Details, class Map>
struct InversePipeline {
  static constexpr std::size_t kLag = 2;
  const float* approx;
  const Details& details;
  float* output;
  std::size_t second;
  Map map;
  UpdateStage undo_update2;
  PredictStage undo_predict2;
  UpdateStage undo_update1;
  PredictStage undo_predict1;

  [[gnu::target("avx2,fma"), gnu::always_inline]] static InversePipeline start(const float* approx,
                                                                               const Details& details, float* output,
                                                                               std::size_t second, Map map) {
    const __m256 zero = _mm256_setzero_ps();
    return {approx, details, output, second, map, {-kDelta, zero}, {-kGamma, {zero, zero}}, {-kBeta, zero},
            {-kAlpha, {zero, zero}}};
  }

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block load(std::size_t j) const {
    return {_mm256_mul_ps(load_lanes(approx + 4 * j, approx + second + 4 * j), _mm256_set1_ps(kKPrime)),
            _mm256_mul_ps(details.load(j, second), _mm256_set1_ps(kK))};
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] Block lift(Block b) {
    return undo_predict1.push(undo_update1.push(undo_predict2.push(undo_update2.push(b))));
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] void store(std::size_t j, Block b) const {
    store_merged(output + 8 * j, output + 2 * second + 8 * j, b, map);
  }
};

}  // namespace

void AvxCdf97::execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                    std::span<float> details) {
  const auto lanes = plan<ForwardPipeline::kLag>(details.size());
  if (!lanes) {
    Cdf97::execute_forward_impl(input, approximations, details);
    return;
  }
  const __m256 zero = _mm256_setzero_ps();
  ForwardPipeline pipeline{input.data(), approximations.data(), details.data(), lanes->second,
                           {kAlpha, {zero, zero}}, {kBeta, zero},        {kGamma, {zero, zero}},
                           {kDelta, zero}};
  stream(pipeline, lanes->steps);
  forward_ends<Cdf97>(input, approximations, details, lanes->tail);
}

void AvxCdf97::execute_inverse_impl(std::span<const float> approximations, std::span<const float> details,
                                    std::span<float> output, std::span<float> /*work*/) {
  inverse_of_floats<Cdf97, InversePipeline>(approximations, details, output);
}

void AvxCdf97::execute_inverse_quantised_impl(std::span<const float> approximations,
                                              std::span<const std::int16_t> details, float step,
                                              std::span<float> output, const OutputMap<float>* map) {
  inverse_of_codes<Cdf97, InversePipeline>(approximations, details, step, output, map);
}

}  // namespace rimble::avx::cdf97f

#endif
