// hdf5/filter.hpp: the HDF5 filter's work without HDF5: its client data, and a chunk to a frame and back.
#pragma once

// A chunk of an HDF5 dataset is one frame (codec/front/frame.hpp): lanes along
// the chunk's time axis, NaN and infinities kept. Everything the filter knows
// comes from its client data, an array of 32-bit words that HDF5 keeps with
// the dataset:
//
//   word        holds
//   0           layout version of these words: 1 or 2 (client_data_version)
//   1           target kind: 0 max_error, 1 rmse, 2 prd, 3 max_bytes (per lane)
//   2, 3        the target value, an IEEE double: low 32 bits, then high 32 bits
//   4           method: 0 the encoder chooses, 1 + code of a method (1 cdf53 .. 4 sym4)
//   5           effort: 0 fast, 1 default, 2 best
//   6           container format: 1 or 2 (0: 2 for a target with no method, else 1)
//   7           (version 2 only) the time axis, a signed 32-bit value: k >= 0 axis k (slowest
//               first), -1 the last, -2 the second last, ...; longest_axis: the chunk's longest
//               axis (the last of equals). The dataset keeps it resolved to k >= 0.
//   --- added by set_local when the dataset is created, after the user's words:
//   +0          bytes per sample, 4 (float32) or 8 (float64)
//   +1          rank of the chunk, 1..32
//   +2 ...      the chunk's dimensions, slowest axis first
//
// Version 1 has no word 7: time runs along the last axis. The frame holds the
// chunk with its time axis moved last, as `encode_array(time_axis=k)` does.
// Users (the Python helper, h5repack's UD= option) give the user's words; a
// later version may add words, and a reader refuses a version it does not know.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/common/error.hpp"
#include "codec/front/frame.hpp"
#include "codec/front/settings.hpp"

namespace quorvel::hdf5 {

// The filter's id. HDF5 leaves ids 256 to 511 to filters that are not
// registered with The HDF Group (README, "HDF5 filter").
inline constexpr unsigned filter_id = 308;
inline constexpr char filter_name[] = "quorvel: lossy compression of float signals to an error target";

inline constexpr unsigned client_data_version = 2;
// Word 7's value that asks for the chunk's longest axis (INT32_MIN).
inline constexpr unsigned longest_axis = 0x80000000u;

// Positions of the words above.
enum ClientWord : std::size_t {
  word_version,
  word_target_kind,
  word_value_low,
  word_value_high,
  word_method,
  word_effort,
  word_format,
  word_time_axis,
};

// Words a user gives in each layout version (1 or 2); the local words follow them.
[[nodiscard]] constexpr std::size_t user_word_count(unsigned version) { return version == 1 ? 7 : 8; }

// What the client data says, checked.
struct ChunkCodec {
  Settings settings;
  FrameDtype dtype;
  std::vector<std::uint64_t> shape;  // of every chunk
  std::size_t chunk_bytes;           // what one chunk takes unfiltered
  std::size_t time_axis;             // of the chunk; its frame holds the chunk with this axis last
};

// The user's words (the first user_word_count) of client data, checked: the
// version, a known target kind, method and effort, and settings the encoder
// takes (a finite non-negative target, a format of 0, 1 or 2 with what it needs).
[[nodiscard]] std::expected<Settings, QuorvelError> read_settings(std::span<const unsigned> client_data);

// The client data a dataset keeps: the user's words, checked (the time axis
// resolved against the chunk's rank), then the sample size (4 or 8), the rank
// and the chunk's dimensions.
[[nodiscard]] std::expected<std::vector<unsigned>, QuorvelError> local_client_data(
    std::span<const unsigned> client_data, std::size_t sample_size, std::span<const std::uint64_t> chunk_dims);

// The whole client data of a dataset, checked: exactly the words its rank
// asks for, and a chunk whose byte size is representable.
[[nodiscard]] std::expected<ChunkCodec, QuorvelError> read_client_data(std::span<const unsigned> client_data);

// One chunk's frame. The chunk must be exactly chunk_bytes long.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode_chunk(const ChunkCodec& codec,
                                                                                std::span<const std::byte> chunk);

// Checks a frame against the dataset without decoding it: its sample type and
// shape must be the chunk's, so that it decodes into exactly chunk_bytes.
[[nodiscard]] std::expected<void, QuorvelError> check_chunk_frame(const ChunkCodec& codec,
                                                                  std::span<const std::uint8_t> frame);

// Decodes a chunk's frame into `out`, exactly chunk_bytes long.
[[nodiscard]] std::expected<void, QuorvelError> decode_chunk(const ChunkCodec& codec,
                                                             std::span<const std::uint8_t> frame,
                                                             std::span<std::byte> out);

}  // namespace quorvel::hdf5
