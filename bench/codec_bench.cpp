// End-to-end codec throughput on a real ECG tiled to 10^6 samples, per method,
// in millions of samples per second, and the share of each encoder stage.
//
//   cmake -S . -B build-bench -G Ninja -DQUORVEL_BUILD_BENCH=ON && cmake --build build-bench -j2
//   build-bench/bench/quorvel_codec_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
//
// The ECG (tests/data/ecg_mitbih208_360hz.npy, 108000 samples) is tiled with
// each copy rotated by a different odd number of samples: plain tiling would
// let DEFLATE match whole repeated bands and overstate the ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <libdeflate.h>

#include "codec/codec.hpp"
#include "codec/v1/wavelet.hpp"

namespace {

constexpr std::size_t kSamples = 1'000'000;

// A 1-D little-endian float32 .npy file: magic, version, header length, a
// Python-dict header, then the samples.
std::vector<float> load_npy_f32(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() < 10 || std::memcmp(bytes.data(), "\x93NUMPY", 6) != 0) throw std::runtime_error("not .npy");
  const auto u8 = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(bytes[i])); };
  const bool v1 = bytes[6] == 1;
  const std::size_t header_length = v1 ? u8(8) | u8(9) << 8 : u8(8) | u8(9) << 8 | u8(10) << 16 | u8(11) << 24;
  const std::size_t data_at = (v1 ? 10 : 12) + header_length;
  const std::string header(bytes.begin() + (v1 ? 10 : 12), bytes.begin() + static_cast<long>(data_at));
  if (header.find("'<f4'") == std::string::npos || header.find("'fortran_order': False") == std::string::npos) {
    throw std::runtime_error("expected a C-ordered little-endian float32 array");
  }
  std::vector<float> samples((bytes.size() - data_at) / sizeof(float));
  std::memcpy(samples.data(), bytes.data() + data_at, samples.size() * sizeof(float));
  return samples;
}

const std::vector<float>& ecg_tiled() {
  static const std::vector<float> signal = [] {
    const auto ecg = load_npy_f32(std::filesystem::path(__FILE__).parent_path().parent_path() / "tests" / "data" /
                                  "ecg_mitbih208_360hz.npy");
    std::vector<float> out;
    out.reserve(kSamples);
    for (std::size_t tile = 0; out.size() < kSamples; ++tile) {
      const std::size_t rotation = (2 * tile + 1) * 7919 % ecg.size() | 1;
      for (std::size_t i = 0; i < ecg.size() && out.size() < kSamples; ++i) {
        out.push_back(ecg[(i + rotation) % ecg.size()]);
      }
    }
    return out;
  }();
  return signal;
}

quorvel::CompressionOptions options_for(benchmark::State& state) {
  return quorvel::CompressionOptions(static_cast<quorvel::CompressionMethod>(state.range(0)), 11,
                                     quorvel::CutoffLevel::low);
}

void count_samples(benchmark::State& state) {
  state.counters["Msamples/s"] =
      benchmark::Counter(static_cast<double>(kSamples) * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

void Compress(benchmark::State& state) {
  const auto& x = ecg_tiled();
  const auto options = options_for(state);
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto container = quorvel::compress(x, options);
    bytes = container->size();
    benchmark::DoNotOptimize(container);
  }
  count_samples(state);
  state.counters["ratio"] = static_cast<double>(x.size() * sizeof(float)) / static_cast<double>(bytes);
}

void Decompress(benchmark::State& state) {
  const auto container = quorvel::compress(ecg_tiled(), options_for(state)).value();
  for (auto _ : state) benchmark::DoNotOptimize(quorvel::decompress(container));
  count_samples(state);
}

// libdeflate alone on the same payload, into a fresh array of the stream's
// size: the yardstick of Decompress.
void Inflate(benchmark::State& state) {
  const auto container = quorvel::compress(ecg_tiled(), options_for(state)).value();
  const auto h = quorvel::QuorvelHeader::from_bytes(container).value();
  const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  std::size_t size = 0;
  {
    std::vector<std::uint8_t> probe(8 * kSamples);
    libdeflate_deflate_decompress(inflater.get(), container.data() + quorvel::header_size, h.payload_length,
                                  probe.data(), probe.size(), &size);
  }
  for (auto _ : state) {
    auto stream = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    libdeflate_deflate_decompress(inflater.get(), container.data() + quorvel::header_size, h.payload_length,
                                  stream.get(), size, nullptr);
    benchmark::DoNotOptimize(stream);
  }
  count_samples(state);
}

// CPU time of the calling thread, so that stage shares do not depend on what
// else the machine runs.
struct ThreadCpuClock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<ThreadCpuClock>;
  static time_point now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return time_point(duration(std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec));
  }
};

// Five stages timed between six marks: each one's time is added to its seconds, and at the end its share
// of the total becomes a counter named after it.
void add_stage_times(const ThreadCpuClock::time_point (&marks)[6], double (&seconds)[5]) {
  for (int i = 0; i < 5; ++i) seconds[i] += std::chrono::duration<double>(marks[i + 1] - marks[i]).count();
}

void report_stage_shares(benchmark::State& state, const double (&seconds)[5], const char* const (&names)[5]) {
  const double total = seconds[0] + seconds[1] + seconds[2] + seconds[3] + seconds[4];
  for (int i = 0; i < 5; ++i) state.counters[names[i]] = 100.0 * seconds[i] / total;
  count_samples(state);
}

// The encoder's stages one after another, timed each, as compress runs them.
void CompressStages(benchmark::State& state) {
  using namespace quorvel::encoder_stages;
  using Clock = ThreadCpuClock;
  const auto& x = ecg_tiled();
  const auto options = options_for(state);
  double seconds[5] = {};
  for (auto _ : state) {
    auto t0 = Clock::now();
    auto signal = sanitise_and_normalise(x).value();
    auto t1 = Clock::now();
    const auto executor = quorvel::method_executor(options.method());
    auto bands = executor->multi_dwt(signal.samples, plan_levels(x.size(), executor->filter_length())).value();
    const auto levels = static_cast<std::uint8_t>(bands.levels.size());
    signal.samples = {};  // released where compress releases them, so the heap behaves alike
    auto t2 = Clock::now();
    const auto stream = serialise_coefficients(bands, options.scale(), options.cutoff()).value();
    bands.levels = {};
    auto t3 = Clock::now();
    auto container = deflate(stream, quorvel::header_size).value();
    auto t4 = Clock::now();
    const auto header = quorvel::ContainerHeader{options.method(), levels, options.scale(),
                                                 static_cast<std::uint32_t>(x.size()), signal.minimum, signal.maximum,
                                                 signal.mean, static_cast<std::uint32_t>(container.size() - 52)}
                            .to_bytes();
    std::copy(header.begin(), header.end(), container.begin());
    benchmark::DoNotOptimize(container);
    auto t5 = Clock::now();
    add_stage_times({t0, t1, t2, t3, t4, t5}, seconds);
  }
  report_stage_shares(state, seconds, {"normalise%", "transform%", "quantise%", "deflate%", "header%"});
}

// The decoder's stages one after another, as decompress runs them: header,
// inflate (libdeflate in one shot, the decoder's path for sound containers),
// output block, inverse transform (dequantising and de-normalising as it goes).
void DecompressStages(benchmark::State& state) {
  using Clock = ThreadCpuClock;
  const auto container = quorvel::compress(ecg_tiled(), options_for(state)).value();
  const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  double seconds[5] = {};
  for (auto _ : state) {
    auto t0 = Clock::now();
    const auto h = quorvel::ContainerHeader::parse(container).value();
    const auto executor = quorvel::method_executor(h.method);
    const auto layout = quorvel::decoder_stages::band_layout(*executor, h.sample_count, h.levels).value();
    auto t1 = Clock::now();
    std::vector<std::uint8_t> stream(2 * layout.total);
    libdeflate_deflate_decompress(inflater.get(), container.data() + quorvel::header_size, h.payload_length,
                                  stream.data(), stream.size(), nullptr);
    auto t2 = Clock::now();
    const std::span<const std::int16_t> codes(reinterpret_cast<const std::int16_t*>(stream.data()), layout.total);
    rimble::LargeBlock<float> signal(layout.reconstruction_length);
    auto t3 = Clock::now();
    if (!quorvel::decoder_stages::reconstruct(*executor, layout, codes, h, signal.span())) {
      state.SkipWithError("inverse transform failed");
    }
    auto t4 = Clock::now();
    benchmark::DoNotOptimize(signal.data());
    auto t5 = Clock::now();
    add_stage_times({t0, t1, t2, t3, t4, t5}, seconds);
  }
  report_stage_shares(state, seconds, {"header%", "inflate%", "allocate%", "inverse%", "rest%"});
}

void methods(benchmark::internal::Benchmark* b) {
  b->ArgName("method")->Unit(benchmark::kMillisecond);
  for (int method = 0; method < 4; ++method) b->Arg(method);
}

BENCHMARK(Compress)->Apply(methods);
BENCHMARK(Decompress)->Apply(methods);
BENCHMARK(Inflate)->Apply(methods);
BENCHMARK(CompressStages)->Apply(methods);
BENCHMARK(DecompressStages)->Apply(methods);

}  // namespace
