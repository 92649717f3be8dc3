// bench/filter_bank_bench.cpp: filter-bank transforms on the portable, SSE4.2 and
// AVX2+FMA executors, Periodic border, single level and eight levels.
//
//   build-bench/bench/quorvel_filter_bank_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// bench/filter_bank_vs_pywt.py runs this binary and PyWavelets in one go and
// prints them side by side.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "rimble/coefficients.hpp"
#include "rimble/rimble.hpp"

namespace {

using rimble::BorderMode;
using Handle = std::shared_ptr<const rimble::DwtExecutor<float>>;

enum class Tier { Portable, Sse, Avx };

struct Wavelet {
  const char* name;
  std::span<const double> row;
};

template <std::size_t L>
std::array<float, L> fixed_taps(const std::vector<float>& low) {
  std::array<float, L> out{};
  std::copy(low.begin(), low.end(), out.begin());
  return out;
}

// The executor that the factory builds for these taps on the given tier.
std::shared_ptr<const rimble::IncompleteDwtExecutor<float>> make_single_level(Tier tier,
                                                                              const std::vector<float>& low) {
  constexpr auto mode = BorderMode::Periodic;
  switch (tier) {
    case Tier::Portable:
      if (low.size() == 8) return std::make_shared<rimble::Wavelet8Taps<float>>(mode, fixed_taps<8>(low));
      if (low.size() == 16) return std::make_shared<rimble::Wavelet16Taps<float>>(mode, fixed_taps<16>(low));
      return std::make_shared<rimble::WaveletNTaps<float>>(mode, low);
    case Tier::Sse:
      if (low.size() == 8) return std::make_shared<rimble::sse::SseWavelet8TapsF32>(mode, fixed_taps<8>(low));
      return std::make_shared<rimble::sse::SseWaveletNTapsF32>(mode, low);
    case Tier::Avx:
      if (low.size() == 8) return std::make_shared<rimble::avx::AvxWavelet8TapsF32>(mode, fixed_taps<8>(low));
      if (low.size() == 16) return std::make_shared<rimble::avx::AvxWavelet16TapsF32>(mode, fixed_taps<16>(low));
      return std::make_shared<rimble::avx::AvxWaveletNTapsF32>(mode, low);
  }
  return nullptr;
}

Handle make(Tier tier, const Wavelet& wavelet) {
  const std::vector<float> low(wavelet.row.begin(), wavelet.row.end());
  auto inner = make_single_level(tier, low);
  const std::size_t length = inner->filter_length();
  return std::make_shared<rimble::CompletedDwtExecutor<float>>(std::move(inner), length);
}

std::vector<float> random_signal(std::size_t n) {
  std::mt19937 engine(20261208);
  std::normal_distribution<float> normal;
  std::vector<float> x(n);
  for (auto& v : x) v = normal(engine);
  return x;
}

void check(benchmark::State& state, bool ok) {
  if (!ok) state.SkipWithError("transform failed");
}

void forward(benchmark::State& state, Handle executor) {
  const auto x = random_signal(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto level = executor->dwt(x, 1);
    check(state, level.has_value());
    benchmark::DoNotOptimize(level);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void inverse(benchmark::State& state, Handle executor) {
  const auto x = random_signal(static_cast<std::size_t>(state.range(0)));
  const auto level = executor->dwt(x, 1);
  check(state, level.has_value());
  const rimble::DwtView<float> view{level->approximations, level->details};
  for (auto _ : state) {
    auto y = executor->idwt(view);
    check(state, y.has_value());
    benchmark::DoNotOptimize(y);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// One level straight into reused bands: the executor alone, without the
// allocation and zero-filling of dwt.
void forward_step(benchmark::State& state, Handle executor) {
  const auto x = random_signal(static_cast<std::size_t>(state.range(0)));
  const auto lengths = executor->dwt_size(x.size());
  std::vector<float> approximations(lengths.approx_length), details(lengths.details_length);
  for (auto _ : state) {
    check(state, executor->execute_forward(x, approximations, details).has_value());
    benchmark::DoNotOptimize(approximations.data());
    benchmark::DoNotOptimize(details.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// One inverse level adding into a reused output (its values grow from call to
// call, which costs nothing): the executor without allocation and zero-fill.
void inverse_step(benchmark::State& state, Handle executor) {
  const auto x = random_signal(static_cast<std::size_t>(state.range(0)));
  const auto level = executor->dwt(x, 1);
  check(state, level.has_value());
  std::vector<float> output(executor->idwt_size({level->approximations.size(), level->details.size()}));
  for (auto _ : state) {
    check(state, executor->execute_inverse(level->approximations, level->details, output).has_value());
    benchmark::DoNotOptimize(output.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

constexpr std::size_t kLevels = 8;

void multi_forward(benchmark::State& state, Handle executor) {
  const auto x = random_signal(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto levels = executor->multi_dwt(x, kLevels);
    check(state, levels.has_value());
    benchmark::DoNotOptimize(levels);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void multi_inverse(benchmark::State& state, Handle executor) {
  const auto x = random_signal(static_cast<std::size_t>(state.range(0)));
  const auto levels = executor->multi_dwt(x, kLevels);
  check(state, levels.has_value());
  rimble::MultiDwtView<float> view{levels->levels.back().approximations, {}};
  for (const auto& level : levels->levels) view.details.emplace_back(level.details);
  for (auto _ : state) {
    auto y = executor->multi_idwt(view);
    check(state, y.has_value());
    benchmark::DoNotOptimize(y);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Every wavelet, operation and tier the processor has, registered before
// benchmark_main runs them.
const bool registered = [] {
  const Wavelet wavelets[] = {
      {"db4", rimble::daubechies_row(rimble::DaubechiesFamily::Db4)},
      {"db8", rimble::daubechies_row(rimble::DaubechiesFamily::Db8)},
      {"sym20", rimble::symlet_row(rimble::SymletFamily::Sym20)},
  };
  struct TierName {
    Tier tier;
    const char* name;
    bool available;
  };
  const TierName tiers[] = {
      {Tier::Portable, "portable", true},
      {Tier::Sse, "sse", rimble::cpu_features().sse4_2},
      {Tier::Avx, "avx2", rimble::cpu_features().avx2_fma},
  };
  struct Operation {
    const char* name;
    void (*run)(benchmark::State&, Handle);
  };
  const Operation operations[] = {
      {"dwt", forward},
      {"idwt", inverse},
      {"multi_dwt8", multi_forward},
      {"multi_idwt8", multi_inverse},
      {"forward_step", forward_step},
      {"inverse_step", inverse_step},
  };
  for (const auto& wavelet : wavelets) {
    for (const auto& operation : operations) {
      for (const auto& tier : tiers) {
        if (!tier.available) continue;
        const std::string name = std::string(wavelet.name) + "/" + operation.name + "/" + tier.name;
        benchmark::RegisterBenchmark(name.c_str(), operation.run, make(tier.tier, wavelet))
            ->Arg(1'000'000)
            ->Arg(10'000'000)
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  return true;
}();

}  // namespace
