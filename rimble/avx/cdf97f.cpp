// rimble/avx/cdf97f.cpp: AVX2 CDF 9/7 lifting kernels (see rimble/avx/lifting.hpp).
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
  PredictStage predict1;
  UpdateStage update1;
  PredictStage predict2;
  UpdateStage update2;

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block load(std::size_t j) const { return load_split(x + 16 * j); }
  [[gnu::target("avx2,fma"), gnu::always_inline]] Block lift(Block b) {
    return update2.push(predict2.push(update1.push(predict1.push(b))));
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] void store(std::size_t j, Block b) const {
    _mm256_storeu_ps(approx + 8 * j, _mm256_mul_ps(b.even, _mm256_set1_ps(kK)));
    _mm256_storeu_ps(details + 8 * j, _mm256_mul_ps(b.odd, _mm256_set1_ps(kKPrime)));
  }
};

// Unscale, then the four steps undone in reverse order with negated weights, then interleave.
struct InversePipeline {
  static constexpr std::size_t kLag = 2;
  const float* approx;
  const float* details;
  float* output;
  UpdateStage undo_update2;
  PredictStage undo_predict2;
  UpdateStage undo_update1;
  PredictStage undo_predict1;

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block load(std::size_t j) const {
    return {_mm256_mul_ps(_mm256_loadu_ps(approx + 8 * j), _mm256_set1_ps(kKPrime)),
            _mm256_mul_ps(_mm256_loadu_ps(details + 8 * j), _mm256_set1_ps(kK))};
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] Block lift(Block b) {
    return undo_predict1.push(undo_update1.push(undo_predict2.push(undo_update2.push(b))));
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] void store(std::size_t j, Block b) const {
    store_merged(output + 16 * j, b);
  }
};

}  // namespace

void AvxCdf97::execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                    std::span<float> details) {
  const std::size_t blocks = input.size() / 16;
  if (!streams<ForwardPipeline::kLag>(blocks)) {
    Cdf97::execute_forward_impl(input, approximations, details);
    return;
  }
  const __m256 zero = _mm256_setzero_ps();
  ForwardPipeline pipeline{input.data(),         approximations.data(),  details.data(),
                           {kAlpha, {zero, zero}}, {kBeta, zero},        {kGamma, {zero, zero}},
                           {kDelta, zero}};
  stream(pipeline, blocks);
  forward_ends<Cdf97>(input, approximations, details, tail_pair<ForwardPipeline::kLag>(blocks));
}

void AvxCdf97::execute_inverse_impl(std::span<const float> approximations, std::span<const float> details,
                                    std::span<float> output, std::span<float> /*work*/) {
  const std::size_t blocks = details.size() / 8;
  if (!streams<InversePipeline::kLag>(blocks)) {
    std::array<float, kMaxScalarSamples> work;
    Cdf97::execute_inverse_impl(approximations, details, output, work);
    return;
  }
  const __m256 zero = _mm256_setzero_ps();
  InversePipeline pipeline{approximations.data(), details.data(),         output.data(),
                           {-kDelta, zero},       {-kGamma, {zero, zero}}, {-kBeta, zero},
                           {-kAlpha, {zero, zero}}};
  stream(pipeline, blocks);
  inverse_ends<Cdf97>(approximations, details, output, tail_pair<InversePipeline::kLag>(blocks));
}

}  // namespace rimble::avx::cdf97f
