// hdf5/filter.cpp: the HDF5 filter's client data, and a chunk to a frame and back through the codec's frames.
#include "hdf5/filter.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "codec/v2/samples.hpp"

namespace quorvel::hdf5 {
namespace {

std::unexpected<QuorvelError> refuse(std::string text) {
  return std::unexpected(QuorvelError::invalid_options("HDF5 filter client data: " + std::move(text)));
}

template <class E>
std::expected<E, QuorvelError> enumerator(unsigned word, const char* what) {
  if (word > std::numeric_limits<std::underlying_type_t<E>>::max() || !is_known(static_cast<E>(word))) {
    return refuse("unknown " + std::string(what) + " " + std::to_string(word));
  }
  return static_cast<E>(word);
}

std::expected<std::optional<CompressionMethod>, QuorvelError> method_of(unsigned word) {
  if (word == 0) return std::nullopt;
  return enumerator<CompressionMethod>(word - 1, "method");
}

// The chunk's samples as T: in place when the buffer is aligned for T (HDF5
// hands over malloc'd buffers), else through a copy.
template <class T, class Run>
auto with_samples(std::span<const std::byte> chunk, Run&& run) {
  const std::size_t count = chunk.size() / sizeof(T);
  if (reinterpret_cast<std::uintptr_t>(chunk.data()) % alignof(T) == 0) {
    return run(std::span<const T>(reinterpret_cast<const T*>(chunk.data()), count));
  }
  std::vector<T> copy(count);
  std::memcpy(copy.data(), chunk.data(), chunk.size());
  return run(std::span<const T>(copy));
}

template <class T>
std::expected<void, QuorvelError> decode_as(std::span<const std::uint8_t> frame, std::span<std::byte> out) {
  const std::size_t count = out.size() / sizeof(T);
  if (reinterpret_cast<std::uintptr_t>(out.data()) % alignof(T) == 0) {
    return decode_frame(frame, std::span<T>(reinterpret_cast<T*>(out.data()), count), 1);
  }
  std::vector<T> samples(count);
  auto decoded = decode_frame(frame, std::span<T>(samples), 1);
  if (decoded) std::memcpy(out.data(), samples.data(), out.size());
  return decoded;
}

// "float32 (3, 40)"
std::string chunk_text(FrameDtype dtype, std::span<const std::uint64_t> shape) {
  std::string text = dtype == FrameDtype::float32 ? "float32 (" : "float64 (";
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    text += (axis > 0 ? ", " : "") + std::to_string(shape[axis]);
  }
  return text + ")";
}

}  // namespace

std::expected<Settings, QuorvelError> read_settings(std::span<const unsigned> client_data) {
  if (client_data.empty()) return refuse("no words; the first is the layout version");
  if (client_data[word_version] != client_data_version) {
    return refuse("layout version " + std::to_string(client_data[word_version]) + " is unknown (this filter reads " +
                  std::to_string(client_data_version) + ")");
  }
  if (client_data.size() < user_word_count) {
    return refuse(std::to_string(client_data.size()) + " words, fewer than the " + std::to_string(user_word_count) +
                  " of the settings");
  }
  const auto kind = enumerator<TargetKind>(client_data[word_target_kind], "target kind");
  const auto method = method_of(client_data[word_method]);
  const auto effort = enumerator<Effort>(client_data[word_effort], "effort");
  if (!kind) return std::unexpected(kind.error());
  if (!method) return std::unexpected(method.error());
  if (!effort) return std::unexpected(effort.error());
  const std::uint64_t bits =
      std::uint64_t{client_data[word_value_low]} | std::uint64_t{client_data[word_value_high]} << 32;
  const Target target{*kind, std::bit_cast<double>(bits)};
  if (auto checked = check_target(target); !checked) return std::unexpected(checked.error());

  Settings settings;
  settings.target = target;
  settings.aim = {.method = *method, .effort = *effort};
  // HDF5 filters one chunk at a time, and its hosts parallelise above it.
  settings.threads = 1;
  if (client_data[word_format] > std::numeric_limits<std::uint16_t>::max()) {
    return refuse("unknown container format " + std::to_string(client_data[word_format]));
  }
  settings.format = static_cast<std::uint16_t>(client_data[word_format]);
  if (auto checked = check_format(settings); !checked) return std::unexpected(checked.error());
  return settings;
}

std::expected<std::vector<unsigned>, QuorvelError> local_client_data(std::span<const unsigned> client_data,
                                                                    std::size_t sample_size,
                                                                    std::span<const std::uint64_t> chunk_dims) {
  if (auto settings = read_settings(client_data); !settings) return std::unexpected(settings.error());
  std::vector<unsigned> words(client_data.begin(), client_data.begin() + user_word_count);
  words.push_back(static_cast<unsigned>(sample_size));
  words.push_back(static_cast<unsigned>(chunk_dims.size()));
  for (const auto dim : chunk_dims) {
    if (dim > std::numeric_limits<unsigned>::max()) return refuse("chunk dimension " + std::to_string(dim));
    words.push_back(static_cast<unsigned>(dim));
  }
  // The words just made must read back: this checks the sample size and shape.
  if (auto codec = read_client_data(words); !codec) return std::unexpected(codec.error());
  return words;
}

std::expected<ChunkCodec, QuorvelError> read_client_data(std::span<const unsigned> client_data) {
  auto settings = read_settings(client_data);
  if (!settings) return std::unexpected(settings.error());
  if (client_data.size() <= word_rank) return refuse("no chunk shape (the dataset was not set up by the filter)");
  const unsigned size = client_data[word_sample_size];
  if (size != sizeof(float) && size != sizeof(double)) {
    return refuse("samples of " + std::to_string(size) + " bytes; the filter takes float32 or float64");
  }
  const unsigned rank = client_data[word_rank];
  if (rank < 1 || rank > frame_max_ndim) return refuse("chunk rank " + std::to_string(rank));
  if (client_data.size() != word_first_dim + rank) {
    return refuse(std::to_string(client_data.size()) + " words for a chunk of rank " + std::to_string(rank) +
                  ", which takes " + std::to_string(word_first_dim + rank));
  }
  ChunkCodec codec{*settings, size == sizeof(float) ? FrameDtype::float32 : FrameDtype::float64, {}, size};
  for (const unsigned dim : client_data.subspan(word_first_dim)) {
    if (dim == 0 || __builtin_mul_overflow(codec.chunk_bytes, std::size_t{dim}, &codec.chunk_bytes) ||
        codec.chunk_bytes > std::numeric_limits<std::uint32_t>::max()) {
      return refuse("a chunk of dimension " + std::to_string(dim) + " is empty or over 4 GiB");
    }
    codec.shape.push_back(dim);
  }
  return codec;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode_chunk(const ChunkCodec& codec,
                                                                  std::span<const std::byte> chunk) {
  if (chunk.size() != codec.chunk_bytes) {
    return std::unexpected(QuorvelError::invalid_input("HDF5 chunk of " + std::to_string(chunk.size()) +
                                                       " bytes, but its shape takes " +
                                                       std::to_string(codec.chunk_bytes)));
  }
  const auto encode = [&](auto samples) { return encode_frame(samples, codec.shape, codec.settings); };
  if (codec.dtype == FrameDtype::float32) return with_samples<float>(chunk, encode);
  return with_samples<double>(chunk, encode);
}

std::expected<void, QuorvelError> check_chunk_frame(const ChunkCodec& codec, std::span<const std::uint8_t> frame) {
  const auto info = read_frame_info(frame);
  if (!info) return std::unexpected(info.error());
  if (info->dtype != codec.dtype || info->shape != codec.shape) {
    return std::unexpected(QuorvelError::invalid_frame("The chunk's frame holds " + chunk_text(info->dtype, info->shape) +
                                                       " but the dataset's chunks are " +
                                                       chunk_text(codec.dtype, codec.shape)));
  }
  return {};
}

std::expected<void, QuorvelError> decode_chunk(const ChunkCodec& codec, std::span<const std::uint8_t> frame,
                                               std::span<std::byte> out) {
  if (auto checked = check_chunk_frame(codec, frame); !checked) return checked;
  if (out.size() != codec.chunk_bytes) {
    return std::unexpected(QuorvelError::invalid_input("Output of " + std::to_string(out.size()) +
                                                       " bytes for a chunk of " + std::to_string(codec.chunk_bytes)));
  }
  if (codec.dtype == FrameDtype::float32) return decode_as<float>(frame, out);
  return decode_as<double>(frame, out);
}

}  // namespace quorvel::hdf5
