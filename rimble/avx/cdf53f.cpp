// rimble/avx/cdf53f.cpp: AVX2 CDF 5/3 lifting kernels (see rimble/avx/lifting.hpp).
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
  PredictStage predict;
  UpdateStage update;

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block load(std::size_t j) const { return load_split(x + 16 * j); }
  [[gnu::target("avx2,fma"), gnu::always_inline]] Block lift(Block b) { return update.push(predict.push(b)); }
  [[gnu::target("avx2,fma"), gnu::always_inline]] void store(std::size_t j, Block b) const {
    _mm256_storeu_ps(approx + 8 * j, b.even);
    _mm256_storeu_ps(details + 8 * j, b.odd);
  }
};

struct InversePipeline {
  static constexpr std::size_t kLag = 1;
  const float* approx;
  const float* details;
  float* output;
  UpdateStage undo_update;
  PredictStage undo_predict;

  [[gnu::target("avx2,fma"), gnu::always_inline]] Block load(std::size_t j) const {
    return {_mm256_loadu_ps(approx + 8 * j), _mm256_loadu_ps(details + 8 * j)};
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] Block lift(Block b) {
    return undo_predict.push(undo_update.push(b));
  }
  [[gnu::target("avx2,fma"), gnu::always_inline]] void store(std::size_t j, Block b) const {
    store_merged(output + 16 * j, b);
  }
};

}  // namespace

void AvxCdf53::execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                    std::span<float> details) {
  const std::size_t blocks = input.size() / 16;
  if (!streams<ForwardPipeline::kLag>(blocks)) {
    Cdf53::execute_forward_impl(input, approximations, details);
    return;
  }
  const __m256 zero = _mm256_setzero_ps();
  ForwardPipeline pipeline{input.data(), approximations.data(), details.data(),
                           {rimble::cdf53f::kPredict, {zero, zero}}, {rimble::cdf53f::kUpdate, zero}};
  stream(pipeline, blocks);
  forward_ends<Cdf53>(input, approximations, details, tail_pair<ForwardPipeline::kLag>(blocks));
}

void AvxCdf53::execute_inverse_impl(std::span<const float> approximations, std::span<const float> details,
                                    std::span<float> output, std::span<float> /*work*/) {
  const std::size_t blocks = details.size() / 8;
  if (!streams<InversePipeline::kLag>(blocks)) {
    std::array<float, kMaxScalarSamples> work;
    Cdf53::execute_inverse_impl(approximations, details, output, work);
    return;
  }
  const __m256 zero = _mm256_setzero_ps();
  InversePipeline pipeline{approximations.data(), details.data(), output.data(),
                           {rimble::cdf53f::kUndoUpdate, zero}, {rimble::cdf53f::kUndoPredict, {zero, zero}}};
  stream(pipeline, blocks);
  inverse_ends<Cdf53>(approximations, details, output, tail_pair<InversePipeline::kLag>(blocks));
}

}  // namespace rimble::avx::cdf53f
