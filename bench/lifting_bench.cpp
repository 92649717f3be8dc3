// Throughput of the lifting executors, portable against AVX2: one forward or inverse level, and
// eight-level multi_dwt / multi_idwt (with their allocations), in millions of samples per second.
//
//   cmake -S . -B build-bench -G Ninja -DQUORVEL_BUILD_BENCH=ON && cmake --build build-bench -j2
//   build-bench/bench/quorvel_lifting_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <random>
#include <type_traits>
#include <vector>

#include "rimble/rimble.hpp"

namespace {

constexpr std::size_t kLevels = 8;

std::vector<float> random_signal(std::size_t n) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

template <class Executor>
constexpr bool kNeedsAvx2Fma = std::is_same_v<Executor, rimble::avx::cdf53f::AvxCdf53> ||
                               std::is_same_v<Executor, rimble::avx::cdf97f::AvxCdf97>;

template <class Executor>
bool usable(benchmark::State& state) {
  if (kNeedsAvx2Fma<Executor> && !rimble::cpu_features().avx2_fma) {
    state.SkipWithError("processor lacks AVX2 and FMA");
    return false;
  }
  return true;
}

void count_samples(benchmark::State& state, std::size_t n) {
  state.counters["Msamples/s"] =
      benchmark::Counter(static_cast<double>(n) * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

template <class Executor>
void Forward(benchmark::State& state) {
  if (!usable<Executor>(state)) return;
  const Executor executor;
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto x = random_signal(n);
  std::vector<float> a((n + 1) / 2), d(n / 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(executor.execute_forward(x, a, d));
    benchmark::ClobberMemory();
  }
  count_samples(state, n);
}

template <class Executor>
void Inverse(benchmark::State& state) {
  if (!usable<Executor>(state)) return;
  const Executor executor;
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto x = random_signal(n);
  std::vector<float> a((n + 1) / 2), d(n / 2), y(n);
  (void)executor.execute_forward(x, a, d);
  for (auto _ : state) {
    benchmark::DoNotOptimize(executor.execute_inverse(a, d, y));
    benchmark::ClobberMemory();
  }
  count_samples(state, n);
}

template <class Executor>
void MultiDwt(benchmark::State& state) {
  if (!usable<Executor>(state)) return;
  const Executor executor;
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto x = random_signal(n);
  for (auto _ : state) {
    auto result = executor.multi_dwt(x, kLevels);
    benchmark::DoNotOptimize(result);
  }
  count_samples(state, n);
}

template <class Executor>
void MultiIdwt(benchmark::State& state) {
  if (!usable<Executor>(state)) return;
  const Executor executor;
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto forward = executor.multi_dwt(random_signal(n), kLevels);
  rimble::MultiDwtView<float> view{forward->levels.back().approximations, {}};
  for (const auto& level : forward->levels) view.details.emplace_back(level.details);
  for (auto _ : state) {
    auto result = executor.multi_idwt(view);
    benchmark::DoNotOptimize(result);
  }
  count_samples(state, n);
}

#define LIFTING_BENCHMARKS(Executor)                                                          \
  BENCHMARK(Forward<Executor>)->Arg(10'000)->Arg(1'000'000)->Arg(10'000'000)->UseRealTime();   \
  BENCHMARK(Inverse<Executor>)->Arg(10'000)->Arg(1'000'000)->Arg(10'000'000)->UseRealTime();   \
  BENCHMARK(MultiDwt<Executor>)->Arg(10'000)->Arg(1'000'000)->Arg(10'000'000)->UseRealTime();  \
  BENCHMARK(MultiIdwt<Executor>)->Arg(10'000)->Arg(1'000'000)->Arg(10'000'000)->UseRealTime()

using rimble::avx::cdf53f::AvxCdf53;
using rimble::avx::cdf97f::AvxCdf97;
using rimble::cdf53f::Cdf53;
using rimble::cdf97f::Cdf97;
LIFTING_BENCHMARKS(Cdf53);
LIFTING_BENCHMARKS(AvxCdf53);
LIFTING_BENCHMARKS(Cdf97);
LIFTING_BENCHMARKS(AvxCdf97);

}  // namespace
