// tests/fuzz/make_fuzz_seeds.cpp: writes the starting corpora of the fuzz
// drivers. Usage: make_fuzz_seeds <decompress-corpus-dir> <compress-corpus-dir> [<frame-corpus-dir>
// [<sequence-corpus-dir> [<v2-decode-corpus-dir> [<hdf5-filter-corpus-dir> [<v2-encode-corpus-dir>]]]]]
//
// The decoder's corpus holds valid containers of every method at the lengths
// where band sizes, padding and level planning change (1, just under and over
// each filter length, the 20/40/60/80 level steps, the 8-level thresholds), so
// that mutation starts from deep inside the decoder rather than at the magic.
// The encoder's corpus holds the same lengths with float patterns that
// stress sanitising and normalisation. The frame decoder's corpus holds frames
// of one to three axes, short lanes, float64, masks of every kind, lanes
// without a container, and lanes of version 2. The sequence coder's corpus
// holds blocks of walks, waves, noise and extremes at the lane and segment
// edges, and the same codes as encoder inputs. The version-2 decoder's corpus
// holds containers of every coding (grid codes, interpolation residuals,
// corrections, ordinals, palettes), of one block and of several. The HDF5
// filter's corpus holds a dataset's client data with one of its chunks, at
// both formats and sample types and at ranks one to three. The version-2
// encoder's corpus holds signals of float32 and float64 under every kind of
// target, effort and block length.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "codec/sequence/coder.hpp"
#include "codec/v2/container.hpp"
#include "codec/v2/encoder.hpp"
#include "codec/v2/quantiser.hpp"
#include "hdf5/filter.hpp"
#include "tests/fuzz/properties.hpp"

namespace {

using quorvel::CompressionMethod;
using quorvel::CutoffLevel;

constexpr std::array<std::size_t, 26> lengths = {1,  2,  5,  6,  7,  8,  9,   10,  11,  19,   20,   39,   40,
                                                 59, 60, 79, 80, 96, 100, 255, 256, 513, 1000, 1536, 2048, 2560};

void write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

// A smooth signal with noise on top, as a sensor would deliver it.
std::vector<float> sensor_like(std::size_t n, std::mt19937& random) {
  std::vector<float> samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double noise = static_cast<double>(random()) / std::mt19937::max() - 0.5;
    samples[i] = static_cast<float>(3.0 * std::sin(0.05 * static_cast<double>(i)) + 0.2 * noise);
  }
  return samples;
}

// Values that sanitising and normalisation must survive, cycled over n samples.
std::vector<float> special_values(std::size_t n) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  constexpr std::array<float, 8> pattern = {std::numeric_limits<float>::quiet_NaN(), inf, -inf,
                                            std::numeric_limits<float>::denorm_min(),
                                            std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                                            -0.0f, 1.0f};
  std::vector<float> samples(n);
  for (std::size_t i = 0; i < n; ++i) samples[i] = pattern[i % pattern.size()];
  return samples;
}

// A frame with a reference table: three lanes of one signal, each with a
// little noise of its own and one with a NaN run, so that two are coded
// against the third.
std::size_t write_joint_frame_seed(const std::string& dir, std::mt19937& random) {
  constexpr std::size_t n = 600;
  const auto common = sensor_like(n, random);
  std::vector<float> samples;
  for (const float gain : {1.0f, -0.5f, 2.0f}) {
    const auto own = sensor_like(n, random);
    for (std::size_t i = 0; i < n; ++i) samples.push_back(gain * common[i] + 0.01f * own[i]);
  }
  std::fill(samples.begin() + 10, samples.begin() + 30, std::numeric_limits<float>::quiet_NaN());
  const quorvel::FrameSettings settings{.target = quorvel::Target{quorvel::TargetKind::max_error, 0.001},
                                        .threads = 1, .format = 2};
  const std::vector<std::uint64_t> shape = {3, n};
  const auto frame = quorvel::encode_frame(std::span<const float>(samples), shape, settings);
  if (!frame || ((*frame)[7] & quorvel::frame_flag_joint) == 0) {
    std::fprintf(stderr, "encode_frame wrote no joint frame\n");
    std::exit(1);
  }
  write_file(dir + "/frame-joint", *frame);
  return 1;
}

// Frames of assorted shapes with non-finite values sprinkled over them, compact
// (with and without a lane bitmap, every lane masked, lanes of no sample) and
// with a lane table.
std::size_t write_frame_seeds(const std::string& dir, std::mt19937& random) {
  using Shape = std::vector<std::uint64_t>;
  const quorvel::FrameSettings settings{.fixed = quorvel::CompressionOptions(CompressionMethod::cdf53, 9, CutoffLevel::low),
                                       .threads = 1};
  const quorvel::FrameSettings version_2{.target = quorvel::Target{quorvel::TargetKind::rmse, 0.01}, .threads = 1,
                                        .format = 2};
  const std::vector<Shape> shapes = {{1}, {7}, {100}, {2, 3}, {3, 7}, {2, 2, 5}, {4, 64}, {}, {0}, {2, 0}};
  std::size_t written = 0;
  for (std::size_t s = 0; s < shapes.size(); ++s) {
    std::size_t n = 1;
    for (auto e : shapes[s]) n *= e;
    auto samples = sensor_like(n, random);
    const auto specials = special_values(8);
    for (std::size_t i = 0; i < n; i += 1 + s) samples[i] = specials[i % 3];  // NaN, +inf, -inf
    if (s == 4) std::fill(samples.begin(), samples.begin() + 7, specials[0]);  // a lane of NaN only
    const std::vector<double> wide(samples.begin(), samples.end());
    const auto narrow = quorvel::encode_frame(std::span<const float>(samples), shapes[s], settings);
    const auto widened = quorvel::encode_frame(std::span<const double>(wide), shapes[s], settings);
    const auto second = quorvel::encode_frame(std::span<const float>(samples), shapes[s], version_2);
    // The lane-table layout too, which decoders keep reading.
    const auto table = quorvel::encode_frame(std::span<const float>(samples), shapes[s], version_2, true,
                                             quorvel::FrameLayout::lane_table);
    if (!narrow || !widened || !second || !table) {
      const auto& failed = !narrow ? narrow : !widened ? widened : !second ? second : table;
      std::fprintf(stderr, "encode_frame failed: %s\n", failed.error().message().c_str());
      std::exit(1);
    }
    write_file(dir + "/frame-f32-" + std::to_string(s), *narrow);
    write_file(dir + "/frame-f64-" + std::to_string(s), *widened);
    write_file(dir + "/frame-v2-" + std::to_string(s), *second);
    write_file(dir + "/frame-table-" + std::to_string(s), *table);
    written += 4;
  }
  return written + write_joint_frame_seed(dir, random);
}

// Version-2 containers of every coding, short and of several 256-sample blocks.
// Codings 5 and 6 (cubic and linear scaled residuals), which the encoder takes only on long smooth
// signals: built from the scaled quantiser's codes, in blocks of 2^8 with a short last one.
std::size_t write_scaled_seeds(const std::string& dir, std::mt19937& random) {
  namespace v2 = quorvel::v2;
  std::size_t written = 0;
  for (const std::size_t n : {1, 3, 300}) {
    const auto x = sensor_like(n, random);
    for (const v2::Mode mode : {v2::Mode::scaled, v2::Mode::scaled_linear}) {
      const quorvel::Grid fine{0.0, 0.01};
      std::vector<std::int32_t> codes(n), residuals(n);
      std::vector<float> y(n);
      const auto spline = v2::spline_of(mode);
      if (!quorvel::quantise_scaled<float>(x, fine, 16, 0.1, 256, codes, y, spline)) std::exit(1);
      for (std::size_t start = 0; start < n; start += 256) {
        const std::size_t m = std::min<std::size_t>(256, n - start);
        quorvel::scaled_residuals(std::span(codes).subspan(start, m), 16, std::span(residuals).subspan(start, m),
                                  spline);
      }
      const auto blocks = quorvel::encode_sequence(residuals, {.block_length = 256});
      if (!blocks) std::exit(1);
      const v2::Header h{mode, 8, static_cast<std::uint32_t>(n), fine, {}, {}, {}, 16};
      const auto container = v2::assemble(h, *blocks);
      if (!container) std::exit(1);
      write_file(dir + "/v2-scaled-" + std::to_string(static_cast<int>(mode)) + "-" + std::to_string(n), *container);
      ++written;
    }
  }
  return written;
}

std::size_t write_v2_seeds(const std::string& dir, std::mt19937& random) {
  using quorvel::TargetKind;
  std::size_t written = 0;
  for (const std::size_t n : {1, 2, 3, 100, 255, 256, 257, 700, 2560}) {
    auto smooth = sensor_like(n, random);
    std::vector<float> levels(n), zeros(n, 0.0f);
    for (std::size_t i = 0; i < n; ++i) levels[i] = 0.125f * static_cast<float>((i * 7) % 5) - 3.0f;  // a palette
    for (std::size_t i = 0; i < n; i += 3) zeros[i] = -0.0f;                                   // corrections
    // Below the sampling rate: a cell filter (noisier, a faster tone) or lifted bands under an RMSE target.
    std::vector<float> slow(n), tone(n);
    std::normal_distribution<double> noise(0.0, 0.01);
    for (std::size_t i = 0; i < n; ++i) {
      slow[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)) + noise(random));
      tone[i] = static_cast<float>(std::sin(0.2 * static_cast<double>(i)) + 5 * noise(random));
    }
    const struct {
      const char* name;
      const std::vector<float>& x;
      quorvel::Target target;
    } cases[] = {{"grid", smooth, {TargetKind::max_error, 0.01}},  {"interpolated", smooth, {TargetKind::rmse, 0.3}},
                 {"ordinals", smooth, {TargetKind::max_error, 0}}, {"palette", levels, {TargetKind::max_error, 0}},
                 {"corrected", zeros, {TargetKind::max_error, 0}},  {"filtered", tone, {TargetKind::rmse, 0.02}},
                 {"lifted", slow, {TargetKind::rmse, 0.03}}};
    for (const auto& c : cases) {
      const auto container = quorvel::v2::encode(c.x, c.target, {.block_log2 = 8});
      if (!container) {
        std::fprintf(stderr, "v2::encode failed: %s\n", container.error().message().c_str());
        std::exit(1);
      }
      write_file(dir + "/v2-" + c.name + "-" + std::to_string(n), *container);
      ++written;
    }
  }
  return written + write_scaled_seeds(dir, random);
}

// Blocks of every predictor's kind of input, and the codes themselves as encoder inputs.
std::size_t write_sequence_seeds(const std::string& dir, std::mt19937& random) {
  std::size_t written = 0;
  for (const std::size_t n : {1u, 7u, 300u, 1024u, 4096u, 5000u}) {
    for (int kind = 0; kind < 4; ++kind) {
      std::vector<std::int32_t> codes(n);
      std::int32_t walk = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const auto noise = static_cast<std::int32_t>(random());
        codes[i] = kind == 0   ? (walk += noise % 9)
                   : kind == 1 ? static_cast<std::int32_t>(900 * std::sin(0.03 * static_cast<double>(i)))
                   : kind == 2 ? noise
                               : (i % 3 ? std::numeric_limits<std::int32_t>::min() : std::numeric_limits<std::int32_t>::max());
      }
      const auto effort = static_cast<quorvel::Effort>((n + static_cast<std::size_t>(kind)) % 3);
      std::vector<std::uint8_t> block;
      quorvel::sequence::encode_block(codes, effort, block);
      const std::string name = dir + "/sequence-" + std::to_string(kind) + "-" + std::to_string(n);
      write_file(name, quorvel::fuzz::sequence_block_input(effort, n, block));
      if (n <= 1024) {
        std::vector<std::uint8_t> input = {static_cast<std::uint8_t>(1 | static_cast<unsigned>(effort) << 1)};
        const auto* raw = reinterpret_cast<const std::uint8_t*>(codes.data());
        input.insert(input.end(), raw, raw + 4 * n);
        write_file(name + "-codes", input);
      }
      written += n <= 1024 ? 2 : 1;
    }
  }
  return written;
}

// Client data (target, method, effort, format, then sample size, rank and
// dimensions) with a chunk that filter made of a sensor-like signal.
std::size_t write_hdf5_seeds(const std::string& dir, std::mt19937& random) {
  using Dims = std::vector<unsigned>;
  std::size_t written = 0;
  for (const unsigned format : {1u, 2u}) {
    for (const unsigned sample_size : {4u, 8u}) {
      for (const Dims& dims : {Dims{100}, Dims{3, 40}, Dims{2, 2, 33}}) {
        std::vector<unsigned> words = {quorvel::hdf5::client_data_version, 1, 0, 0, 0, 1, format};
        const double value = 0.01;
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        words[quorvel::hdf5::word_value_low] = static_cast<unsigned>(bits);
        words[quorvel::hdf5::word_value_high] = static_cast<unsigned>(bits >> 32);
        words.push_back(sample_size);
        words.push_back(static_cast<unsigned>(dims.size()));
        words.insert(words.end(), dims.begin(), dims.end());
        const auto codec = quorvel::hdf5::read_client_data(words);
        if (!codec) continue;
        const auto samples = sensor_like(codec->chunk_bytes / sample_size, random);
        std::vector<std::byte> chunk(codec->chunk_bytes);
        for (std::size_t i = 0; i < samples.size(); ++i) {
          if (sample_size == 4) std::memcpy(chunk.data() + 4 * i, &samples[i], 4);
          const double wide = samples[i];
          if (sample_size == 8) std::memcpy(chunk.data() + 8 * i, &wide, 8);
        }
        const auto frame = quorvel::hdf5::encode_chunk(*codec, chunk);
        if (!frame) continue;
        write_file(dir + "/v" + std::to_string(format) + "-f" + std::to_string(8 * sample_size) + "-rank" +
                       std::to_string(dims.size()),
                   quorvel::fuzz::hdf5_filter_input(words, *frame));
        ++written;
      }
    }
  }
  return written;
}

std::size_t write_v2_encoder_seeds(const std::string& dir, std::mt19937& random) {
  using quorvel::TargetKind;
  constexpr std::array<quorvel::Target, 6> targets = {{{TargetKind::max_error, 0.01},
                                                       {TargetKind::max_error, 0.0},
                                                       {TargetKind::rmse, 0.01},
                                                       {TargetKind::prd, 1.0},
                                                       {TargetKind::prd, 1e-6},
                                                       {TargetKind::max_bytes, 200.0}}};
  std::size_t written = 0;
  for (const std::size_t n : {std::size_t{1}, std::size_t{9}, std::size_t{300}, std::size_t{2048}}) {
    const auto signal = sensor_like(n, random);
    const std::vector<double> wide(signal.begin(), signal.end());
    for (std::size_t t = 0; t < targets.size(); ++t) {
      const auto effort = static_cast<quorvel::Effort>((n + t) % 3);
      const unsigned block_log2 = 8 + static_cast<unsigned>(n + t) % 7;
      const bool as_double = t % 2 == 1;
      const auto bytes = as_double ? std::as_bytes(std::span(wide)) : std::as_bytes(std::span(signal));
      const std::span<const std::uint8_t> raw(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      write_file(dir + "/n" + std::to_string(n) + "-target" + std::to_string(t),
                 quorvel::fuzz::v2_encoder_input(targets[t], as_double, effort, block_log2, raw));
      ++written;
    }
  }
  return written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 8) {
    std::fprintf(stderr, "usage: %s <decompress-dir> <compress-dir> [<frame-dir> [<sequence-dir> [<v2-decode-dir> "
                 "[<hdf5-filter-dir> [<v2-encode-dir>]]]]]\n", argv[0]);
    return 2;
  }
  const std::string decompress_dir = argv[1];
  const std::string compress_dir = argv[2];
  std::mt19937 random(20261208);

  std::size_t written = 0;
  for (const auto& [method, method_name] : quorvel::Names<CompressionMethod>::table) {
    for (const std::size_t n : lengths) {
      const auto signal = sensor_like(n, random);
      // Scale and cutoff vary with the length so that every combination occurs
      // somewhere without multiplying the corpus by 21.
      const auto scale = static_cast<std::uint8_t>(6 + n % 7);
      const auto cutoff = static_cast<CutoffLevel>(n % 3);
      const auto container = quorvel::compress(signal, quorvel::CompressionOptions(method, scale, cutoff));
      if (!container) {
        std::fprintf(stderr, "compress failed: %s\n", container.error().message().c_str());
        return 1;
      }
      const std::string name = std::string(method_name) + "-" + std::to_string(n);
      write_file(decompress_dir + "/" + name, *container);
      write_file(compress_dir + "/" + name, quorvel::fuzz::encoder_input(method, scale, cutoff, signal));
      written += 2;
      if (n <= 256) {
        write_file(compress_dir + "/" + name + "-special",
                   quorvel::fuzz::encoder_input(method, scale, cutoff, special_values(n)));
        ++written;
      }
    }
  }
  if (argc >= 4) written += write_frame_seeds(argv[3], random);
  if (argc >= 5) written += write_sequence_seeds(argv[4], random);
  if (argc >= 6) written += write_v2_seeds(argv[5], random);
  if (argc >= 7) written += write_hdf5_seeds(argv[6], random);
  if (argc >= 8) written += write_v2_encoder_seeds(argv[7], random);
  std::printf("wrote %zu seed files\n", written);
  return 0;
}
