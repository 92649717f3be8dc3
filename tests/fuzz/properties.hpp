// tests/fuzz/properties.hpp: what the codec promises for any input, checked
// on one input at a time. The libFuzzer drivers abort on a broken promise; the
// C++ suite replays saved findings through the same checks.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "codec/codec.hpp"
#include "codec/sequence/coder.hpp"
#include "codec/v2/crc32.hpp"
#include "codec/sequence/block.hpp"
#include "codec/v2/decoder.hpp"
#include "codec/v2/encoder.hpp"
#include "hdf5/filter.hpp"

namespace quorvel::fuzz {

// Encoder input layout. Byte 0 picks the method (low two bits) and the cutoff
// (the rest, modulo 3), byte 1 the scale (6 + byte modulo 7); every following
// group of four bytes is one float32 bit pattern, so NaN payloads, infinities,
// subnormals and ranges that overflow float32 all occur.
inline constexpr std::size_t options_bytes = 2;

[[nodiscard]] inline CompressionOptions options_from(std::uint8_t b0, std::uint8_t b1) {
  return CompressionOptions(static_cast<CompressionMethod>(b0 & 3), static_cast<std::uint8_t>(6 + b1 % 7),
                            static_cast<CutoffLevel>((b0 >> 2) % 3));
}

[[nodiscard]] inline std::vector<float> samples_from(std::span<const std::uint8_t> bytes) {
  std::vector<float> samples(bytes.size() / sizeof(float));
  if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

// The inverse of the two functions above, for the seed writer.
[[nodiscard]] inline std::vector<std::uint8_t> encoder_input(CompressionMethod method, std::uint8_t scale,
                                                             CutoffLevel cutoff, std::span<const float> samples) {
  std::vector<std::uint8_t> bytes(options_bytes + samples.size_bytes());
  bytes[0] = static_cast<std::uint8_t>(static_cast<unsigned>(method) | static_cast<unsigned>(cutoff) << 2);
  bytes[1] = static_cast<std::uint8_t>(scale - 6);
  if (!samples.empty()) std::memcpy(bytes.data() + options_bytes, samples.data(), samples.size_bytes());
  return bytes;
}

// Arbitrary bytes into decompress. Whatever they are, the call returns, and a
// success honours the container's promises: a header that parses, every check
// of the decoder passed, exactly the stored number of samples, all finite.
// Returns the broken promise, or nullptr when all hold.
[[nodiscard]] inline const char* decompress_property(std::span<const std::uint8_t> bytes) {
  const auto decoded = decompress(bytes);
  if (!decoded) return decoded.error().message().empty() ? "every error has a display text" : nullptr;

  const auto header = QuorvelHeader::from_bytes(bytes);
  if (!header) return "a decoded container has a valid header";
  if (decoded->size() != header->sample_count) return "the result holds exactly the stored sample count";
  if (header->sample_count > max_sample_count) return "the sample count passed its limit";
  if (header->levels < 1 || header->levels > 10) return "the level count passed its limit";
  if (header->scale < 6 || header->scale > 12) return "the scale passed its limit";
  if (header_size + std::size_t{header->payload_length} > bytes.size()) return "the payload lies inside the input";
  for (const float sample : *decoded) {
    if (!std::isfinite(sample)) return "every decoded sample is finite";
  }
  return nullptr;
}

// True when max - min of the sanitised samples (NaN and -infinity count as 0,
// +infinity as 1) overflows float32, as for samples near +3e38 and -3e38. The
// decoder scales back by that same range, so no container can represent such
// a signal and the encoder refuses it.
[[nodiscard]] inline bool range_overflows(std::span<const float> samples) {
  float minimum = 0.0f, maximum = 0.0f;
  bool first = true;
  for (float x : samples) {
    if (!std::isfinite(x)) x = x > 0 ? 1.0f : 0.0f;
    minimum = first || x < minimum ? x : minimum;
    maximum = first || x > maximum ? x : maximum;
    first = false;
  }
  return std::isinf(maximum - minimum);
}

// Encoder input (layout above) into compress, and its container straight back
// through decompress. Any non-empty signal whose range fits in float32
// compresses, whatever its values, and decodes to a signal of the same length
// whose every sample is finite; the others are refused as a configuration the
// codec does not support.
// Returns the broken promise, or nullptr when all hold; inputs shorter than
// the two option bytes are not encoder inputs and hold trivially.
[[nodiscard]] inline const char* round_trip_property(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < options_bytes) return nullptr;
  const auto options = options_from(bytes[0], bytes[1]);
  const auto samples = samples_from(bytes.subspan(options_bytes));

  const auto container = compress(samples, options);
  if (samples.empty()) return container ? "an empty signal is refused" : nullptr;
  if (range_overflows(samples)) {
    return !container && container.error().kind() == QuorvelError::Kind::UnsupportedConfiguration
               ? nullptr
               : "a signal whose range overflows float32 is refused as unsupported";
  }
  if (!container) return "every non-empty signal whose range fits in float32 compresses";

  const auto header = QuorvelHeader::from_bytes(*container);
  if (!header) return "the encoder writes a header its own parser accepts";
  if (header->sample_count != samples.size()) return "the header stores the input length";
  if (header->method_tag != method_tag(options.method())) return "the header stores the method";
  if (header->scale != options.scale()) return "the header stores the scale";
  if (header->levels < 1 || header->levels > 8) return "the encoder plans 1 to 8 levels";
  if (container->size() != header_size + header->payload_length) return "the payload fills the rest";

  const auto decoded = decompress(*container);
  if (!decoded) return "every container the encoder writes decodes";
  if (decoded->size() != samples.size()) return "the round trip keeps the length";
  for (const float sample : *decoded) {
    if (!std::isfinite(sample)) return "every decoded sample is finite";
  }
  return nullptr;
}

// Frames larger than this many samples are checked for their size promise
// but not decoded: a 4 KiB mask can legitimately describe 33 million NaN, and
// the fuzzer's allocation limit is there to catch claims, not honest frames.
inline constexpr std::size_t frame_decode_limit = std::size_t{1} << 22;

// Arbitrary bytes into the frame decoder. Whatever they are, the call returns
// with an error that has a text, or with the frame's samples; a frame never
// describes more samples than its bytes could hold (8256 per byte: eight per
// mask byte inflated 1032-fold, more than a container's 516 per payload byte).
template <class T>
[[nodiscard]] inline const char* frame_decode_as(std::span<const std::uint8_t> bytes, std::size_t sample_count) {
  std::vector<T> out(sample_count);
  const auto decoded = decode_frame(bytes, std::span<T>(out), 1);
  if (!decoded) return decoded.error().message().empty() ? "every error has a display text" : nullptr;
  return nullptr;
}

[[nodiscard]] inline const char* frame_decode_property(std::span<const std::uint8_t> bytes) {
  const auto info = read_frame_info(bytes);
  if (!info) return info.error().message().empty() ? "every error has a display text" : nullptr;
  if (info->sample_count / 8256 > bytes.size()) return "a frame holds no more samples than its bytes can describe";
  if (info->lane_count * info->lane_length != info->sample_count) return "lanes tile the shape";
  if (info->sample_count > frame_decode_limit) return nullptr;
  return info->dtype == FrameDtype::float32 ? frame_decode_as<float>(bytes, info->sample_count)
                                            : frame_decode_as<double>(bytes, info->sample_count);
}

// HDF5 filter input layout. Byte 0 is the number of 32-bit client-data words
// (modulo 32), which follow little-endian; the rest is the chunk as stored.
[[nodiscard]] inline std::vector<std::uint8_t> hdf5_filter_input(std::span<const unsigned> words,
                                                                 std::span<const std::uint8_t> chunk) {
  std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(words.size())};
  for (const unsigned w : words)
    for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
  bytes.insert(bytes.end(), chunk.begin(), chunk.end());
  return bytes;
}

// Chunks read back are checked against the dataset before anything is
// decoded, and decode into exactly the chunk's bytes; every refusal says why.
// Chunks over 16 MiB unfiltered are only checked.
[[nodiscard]] inline const char* hdf5_filter_property(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return nullptr;
  const std::size_t count = bytes[0] % 32;
  if (bytes.size() < 1 + 4 * count) return nullptr;
  std::vector<unsigned> words(count);
  for (std::size_t i = 0; i < count; ++i)
    for (std::size_t b = 0; b < 4; ++b) words[i] |= unsigned{bytes[1 + 4 * i + b]} << (8 * b);
  const auto chunk = bytes.subspan(1 + 4 * count);
  const auto codec = hdf5::read_client_data(words);
  if (!codec) return codec.error().message().empty() ? "every error has a display text" : nullptr;
  const auto checked = hdf5::check_chunk_frame(*codec, chunk);
  if (!checked) return checked.error().message().empty() ? "every error has a display text" : nullptr;
  if (codec->chunk_bytes > (std::size_t{16} << 20)) return nullptr;
  std::vector<std::byte> out(codec->chunk_bytes);
  const auto decoded = hdf5::decode_chunk(*codec, chunk, out);
  if (!decoded && decoded.error().message().empty()) return "every error has a display text";
  return nullptr;
}

// Sequence coder input layout. Byte 0: bit 0 picks the mode, bits 1-2 the effort (modulo 3).
//   mode 0, a block: bytes 1-2 are the code count less one (little-endian), the rest is the block;
//   mode 1, codes: every following group of four bytes is one int32 code.
inline constexpr std::size_t sequence_header_bytes = 3;

[[nodiscard]] inline std::vector<std::uint8_t> sequence_block_input(Effort effort, std::size_t n,
                                                                    std::span<const std::uint8_t> block) {
  std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(static_cast<unsigned>(effort) << 1),
                                     static_cast<std::uint8_t>(n - 1), static_cast<std::uint8_t>((n - 1) >> 8)};
  bytes.insert(bytes.end(), block.begin(), block.end());
  return bytes;
}

// Codes through the encoder and back, in blocks of 4096.
[[nodiscard]] inline const char* sequence_round_trip(std::span<const std::int32_t> codes, Effort effort,
                                                     bool lossless) {
  const SequenceCoding coding{.effort = effort, .block_length = 4096, .lossless = lossless};
  const auto blocks = encode_sequence(codes, coding);
  if (!blocks) return "every code sequence encodes";
  const std::vector<std::span<const std::uint8_t>> spans(blocks->begin(), blocks->end());
  std::vector<std::int32_t> back(codes.size());
  if (!decode_sequence(spans, back, coding)) return "every encoded sequence decodes";
  return std::equal(back.begin(), back.end(), codes.begin(), codes.end()) ? nullptr : "codes come back exactly";
}

// A block decoded side by side with a valid block, with itself, and with itself or its first two thirds:
// the group fails exactly when one of its blocks fails alone, and otherwise gives each block's own codes.
[[nodiscard]] inline const char* sequence_side_by_side(std::span<const std::uint8_t> block, bool cut,
                                                       std::span<const std::int32_t> alone, bool decoded) {
  const std::size_t n = alone.size();
  std::vector<std::int32_t> ramp(n);
  for (std::size_t i = 0; i < n; ++i) ramp[i] = static_cast<std::int32_t>(i * 37 % 1001);
  // Mutations keep the length more often than not: the valid block of the last length is kept.
  static std::size_t valid_length = 0;
  static std::vector<std::uint8_t> valid;
  if (valid_length != n) {
    const auto blocks = encode_sequence(ramp, {.effort = Effort::fast, .block_length = std::bit_ceil(n)});
    if (!blocks) return "every code sequence encodes";
    valid = blocks->front(), valid_length = n;
  }
  const auto last = cut ? block.first(block.size() - block.size() / 3) : block;
  std::vector<std::int32_t> last_alone(n);
  const bool expected = decoded && sequence::decode_block(last, last_alone);
  std::vector<std::int32_t> a(n), b(n), c(n), d(n);
  const std::span<const std::uint8_t> blocks[] = {valid, block, block, last};
  const std::span<std::int32_t> codes[] = {a, b, c, d};
  const bool together = sequence::decode_blocks(blocks, codes);
  if (together != expected) return "blocks decoded side by side fail exactly when one of them fails alone";
  if (together && !(a == ramp && std::ranges::equal(b, alone) && std::ranges::equal(c, alone) && d == last_alone))
    return "blocks decoded side by side give the codes each gives alone";
  return nullptr;
}

// Arbitrary bytes as a block of up to 65536 codes: decoding returns, the same side by side with others,
// and whatever codes a block decodes to go through the encoder and back unchanged. Or arbitrary codes
// through the encoder and back.
[[nodiscard]] inline const char* sequence_property(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < sequence_header_bytes) return nullptr;
  const auto effort = static_cast<Effort>((bytes[0] >> 1 & 3) % 3);
  const bool lossless = (bytes[0] & 16) != 0;  // a bit-exact caller's search, the cascade among it
  if (bytes[0] & 1) {
    std::vector<std::int32_t> codes((bytes.size() - 1) / 4);
    if (!codes.empty()) std::memcpy(codes.data(), bytes.data() + 1, codes.size() * 4);
    return sequence_round_trip(codes, effort, lossless);
  }
  std::vector<std::int32_t> codes(1 + (std::size_t{bytes[1]} | std::size_t{bytes[2]} << 8));
  const auto block = bytes.subspan(sequence_header_bytes);
  const bool decoded = sequence::decode_block(block, codes);
  if (const char* broken = sequence_side_by_side(block, (bytes[0] & 8) != 0, codes, decoded)) return broken;
  return decoded ? sequence_round_trip(codes, effort, lossless) : nullptr;
}

// Version-2 encoder input layout. Byte 0: bits 0-1 the target kind, bit 2
// float64 samples, bits 3-4 the effort (modulo 3), bits 5-7 the block length
// (2^(8 + bits modulo 7)); bytes 1-8 the target's value as a float64 bit
// pattern; every following group of four (float64: eight) bytes one sample.
inline constexpr std::size_t v2_encoder_header_bytes = 9;

[[nodiscard]] inline std::vector<std::uint8_t> v2_encoder_input(Target target, bool wide, Effort effort,
                                                                unsigned block_log2,
                                                                std::span<const std::uint8_t> samples) {
  std::vector<std::uint8_t> bytes(v2_encoder_header_bytes + samples.size());
  bytes[0] = static_cast<std::uint8_t>(static_cast<unsigned>(target.kind) | (wide ? 4u : 0u) |
                                       static_cast<unsigned>(effort) << 3 | (block_log2 - 8) << 5);
  std::memcpy(bytes.data() + 1, &target.value, sizeof(double));
  std::copy(samples.begin(), samples.end(), bytes.begin() + v2_encoder_header_bytes);
  return bytes;
}

// The figure of a decoded signal for an error target, in double against the
// samples as given (the encoder's own measure scales and sums differently).
template <class T>
[[nodiscard]] inline double error_figure(TargetKind kind, std::span<const T> x, std::span<const float> y) {
  double largest = 0.0, sum_squares = 0.0, signal = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double d = static_cast<double>(x[i]) - static_cast<double>(y[i]);
    largest = std::max(largest, std::fabs(d));
    sum_squares += d * d;
    signal += static_cast<double>(x[i]) * static_cast<double>(x[i]);
  }
  if (kind == TargetKind::max_error) return largest;
  if (kind == TargetKind::rmse) return std::sqrt(sum_squares / static_cast<double>(x.size()));
  return signal > 0.0 ? 100.0 * std::sqrt(sum_squares / signal) : (sum_squares > 0.0 ? std::numeric_limits<double>::infinity() : 0.0);
}

template <class T>
[[nodiscard]] inline const char* v2_encoder_round_trip(std::span<const T> x, Target target,
                                                       const v2::EncodeOptions& options) {
  const auto container = v2::encode(x, target, options);
  if (!container) return container.error().message().empty() ? "every error has a display text" : nullptr;
  const auto decoded = v2::decode(*container, 1);
  if (!decoded) return "every container the encoder writes decodes";
  if (decoded->size() != x.size()) return "the round trip keeps the length";
  if (target.kind == TargetKind::max_bytes)
    return static_cast<double>(container->size()) <= target.value ? nullptr : "a container fits its budget";
  if (target.kind == TargetKind::max_error && target.value == 0.0) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (std::bit_cast<std::uint32_t>(static_cast<float>(x[i])) != std::bit_cast<std::uint32_t>((*decoded)[i]))
        return "max_error 0 gives back the very bits";
    }
    return nullptr;
  }
  // Room for double's rounding of the figures, far below any quantisation step.
  const double figure = error_figure(target.kind, x, std::span<const float>(*decoded));
  return figure <= target.value * (1 + 1e-9) + 1e-300 ? nullptr : "a decoded signal meets its target";
}

// Encoder input (layout above) into the version-2 encoder: whatever the
// samples, target and options, it returns, an error with a text or a
// container that decodes to a signal of the same length meeting the target.
[[nodiscard]] inline const char* v2_encoder_property(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < v2_encoder_header_bytes) return nullptr;
  Target target{static_cast<TargetKind>(bytes[0] & 3), 0.0};
  std::memcpy(&target.value, bytes.data() + 1, sizeof(double));
  const v2::EncodeOptions options{.effort = static_cast<Effort>((bytes[0] >> 3 & 3) % 3),
                                  .threads = 1,
                                  .block_log2 = 8 + (bytes[0] >> 5) % 7u};
  const auto payload = bytes.subspan(v2_encoder_header_bytes);
  if (bytes[0] & 4) {
    std::vector<double> x(payload.size() / sizeof(double));
    if (!x.empty()) std::memcpy(x.data(), payload.data(), x.size() * sizeof(double));
    return v2_encoder_round_trip(std::span<const double>(x), target, options);
  }
  const auto x = samples_from(payload);
  return v2_encoder_round_trip(std::span<const float>(x), target, options);
}

// Version-2 containers of more samples than this are checked for their size
// promise and decoded in part only: a few bytes per block may honestly stand
// for 16384 constant samples.
inline constexpr std::size_t v2_decode_limit = std::size_t{1} << 22;

// The promises of one version-2 container: whatever the bytes, the decoder
// returns with an error that has a text, or with exactly the stored number of
// samples, all finite; a container never claims more samples than its bytes
// can describe (a block takes at least an index byte and its CRC); a range
// decodes to the same samples as the whole.
[[nodiscard]] inline const char* v2_container_promises(std::span<const std::uint8_t> bytes) {
  const auto layout = v2::parse(bytes);
  if (!layout) return layout.error().message().empty() ? "every error has a display text" : nullptr;
  const std::size_t n = layout->header.sample_count;
  if (layout->header.block_count() * (1 + v2::crc_size) > bytes.size()) {
    return "a container holds no more blocks than its bytes can describe";
  }
  const std::size_t middle = n / 2, stop = std::min(n, middle + 1000);
  const auto part = v2::decode(bytes, middle, stop);
  if (n > v2_decode_limit) return nullptr;
  const auto whole = v2::decode(bytes, 1 + bytes.size() % 3);
  if (!whole) {
    if (part && layout->header.block_count() == 1)
      return "a range of a container that fails to decode fails too";
    return whole.error().message().empty() ? "every error has a display text" : nullptr;
  }
  if (whole->size() != n) return "the result holds exactly the stored sample count";
  for (const float sample : *whole) {
    if (!std::isfinite(sample)) return "every decoded sample is finite";
  }
  if (!part ||
      !std::equal(part->begin(), part->end(), whole->begin() + static_cast<std::ptrdiff_t>(middle))) {
    return "a range decodes to the samples of the whole";
  }
  return nullptr;
}

// Arbitrary bytes into the version-2 decoder, as they are and with every
// block's CRC-32 made right: the checks behind the CRC (the sequence coder's
// blocks, palettes, codes that leave float32) meet hostile input too.
[[nodiscard]] inline const char* v2_decode_property(std::span<const std::uint8_t> bytes) {
  if (const char* broken = v2_container_promises(bytes)) return broken;
  const auto layout = v2::parse(bytes);
  if (!layout) return nullptr;
  std::vector<std::uint8_t> repaired(bytes.begin(), bytes.end());
  for (std::size_t b = 0; b < layout->block_sizes.size(); ++b) {
    const std::size_t at = layout->block_starts[b], size = layout->block_sizes[b];
    const std::uint32_t crc = crc32(layout->header_crc, bytes.subspan(at, size));
    for (std::size_t i = 0; i < v2::crc_size; ++i)
      repaired[at + size + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
  return v2_container_promises(repaired);
}

}  // namespace quorvel::fuzz
