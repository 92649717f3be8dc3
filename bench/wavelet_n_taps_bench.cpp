// Throughput of the portable filter banks: one forward or inverse level of the
// fixed-length executors and of the generic one (arena included), in millions
// of input samples per second.
//
//   cmake -S . -B build-bench -G Ninja -DQUORVEL_BUILD_BENCH=ON && cmake --build build-bench -j2
//   build-bench/bench/quorvel_wavelet_n_taps_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <array>
#include <random>
#include <vector>

#include "rimble/rimble.hpp"

namespace {

constexpr std::size_t kSamples = 1 << 16;

std::vector<float> random_signal(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

template <std::size_t L>
std::array<float, L> filter() {
  const auto taps = random_signal(L, L);
  std::array<float, L> out{};
  std::copy(taps.begin(), taps.end(), out.begin());
  return out;
}

void count_samples(benchmark::State& state, std::size_t n) {
  state.counters["Msamples/s"] =
      benchmark::Counter(static_cast<double>(n) * static_cast<double>(state.iterations()) / 1e6,
                         benchmark::Counter::kIsRate);
}

template <class Executor>
void forward(benchmark::State& state, const Executor& executor) {
  const auto x = random_signal(kSamples, 1);
  const auto lengths = executor.dwt_size(kSamples);
  std::vector<float> approx(lengths.approx_length), details(lengths.details_length);
  for (auto _ : state) {
    benchmark::DoNotOptimize(executor.execute_forward(x, approx, details));
    benchmark::ClobberMemory();
  }
  count_samples(state, kSamples);
}

template <class Executor>
void inverse(benchmark::State& state, const Executor& executor) {
  const std::size_t m = executor.dwt_size(kSamples).approx_length;
  const auto approx = random_signal(m, 2);
  const auto details = random_signal(m, 3);
  std::vector<float> out(executor.idwt_size({m, m}));
  for (auto _ : state) {
    benchmark::DoNotOptimize(executor.execute_inverse(approx, details, out));
    benchmark::ClobberMemory();
  }
  count_samples(state, kSamples);
}

template <std::size_t L>
void BM_FixedForward(benchmark::State& state) {
  forward(state, rimble::WaveletFixedTaps<float, L>(rimble::BorderMode::Periodic, filter<L>()));
}
template <std::size_t L>
void BM_FixedInverse(benchmark::State& state) {
  inverse(state, rimble::WaveletFixedTaps<float, L>(rimble::BorderMode::Periodic, filter<L>()));
}
template <std::size_t L>
void BM_GenericForward(benchmark::State& state) {
  const auto low = filter<L>();
  forward(state, rimble::WaveletNTaps<float>(rimble::BorderMode::Periodic, low));
}
template <std::size_t L>
void BM_GenericInverse(benchmark::State& state) {
  const auto low = filter<L>();
  inverse(state, rimble::WaveletNTaps<float>(rimble::BorderMode::Periodic, low));
}

BENCHMARK(BM_FixedForward<2>);
BENCHMARK(BM_FixedForward<8>);
BENCHMARK(BM_FixedForward<16>);
BENCHMARK(BM_FixedInverse<2>);
BENCHMARK(BM_FixedInverse<8>);
BENCHMARK(BM_FixedInverse<16>);
BENCHMARK(BM_GenericForward<8>);
BENCHMARK(BM_GenericForward<20>);
BENCHMARK(BM_GenericInverse<8>);
BENCHMARK(BM_GenericInverse<20>);

}  // namespace
