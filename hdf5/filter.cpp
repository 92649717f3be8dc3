// hdf5/filter.cpp: the HDF5 filter's client data, and a chunk to a frame and back through the codec's frames.
#include "hdf5/filter.hpp"

#include <algorithm>
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


// The chunk's samples with its time axis moved last (`to_last`), or a frame's samples with it moved
// back: shape (outer, time, inner) <-> (outer, inner, time), `dims` the chunk's.
template <class T>
std::vector<T> move_time_axis(std::span<const T> in, std::span<const std::uint64_t> dims, std::size_t axis,
                              bool to_last) {
  std::size_t outer = 1, inner = 1;
  for (std::size_t a = 0; a < axis; ++a) outer *= dims[a];
  for (std::size_t a = axis + 1; a < dims.size(); ++a) inner *= dims[a];
  const std::size_t time = dims[axis];
  std::vector<T> out(in.size());
  for (std::size_t o = 0; o < outer; ++o) {
    for (std::size_t t = 0; t < time; ++t) {
      for (std::size_t i = 0; i < inner; ++i) {
        const std::size_t chunk_at = (o * time + t) * inner + i, frame_at = (o * inner + i) * time + t;
        out[to_last ? frame_at : chunk_at] = in[to_last ? chunk_at : frame_at];
      }
    }
  }
  return out;
}

// The shape of a chunk's frame: the chunk's with its time axis last.
std::vector<std::uint64_t> frame_shape(const ChunkCodec& codec) {
  std::vector<std::uint64_t> shape = codec.shape;
  std::rotate(shape.begin() + static_cast<std::ptrdiff_t>(codec.time_axis),
              shape.begin() + static_cast<std::ptrdiff_t>(codec.time_axis) + 1, shape.end());
  return shape;
}

bool time_is_last(const ChunkCodec& codec) { return codec.time_axis + 1 == codec.shape.size(); }

template <class T>
std::expected<void, QuorvelError> decode_as(const ChunkCodec& codec, std::span<const std::uint8_t> frame,
                                            std::span<std::byte> out) {
  const std::size_t count = out.size() / sizeof(T);
  if (time_is_last(codec) && reinterpret_cast<std::uintptr_t>(out.data()) % alignof(T) == 0) {
    return decode_frame(frame, std::span<T>(reinterpret_cast<T*>(out.data()), count), 1);
  }
  std::vector<T> samples(count);
  auto decoded = decode_frame(frame, std::span<T>(samples), 1);
  if (!decoded) return decoded;
  if (!time_is_last(codec)) samples = move_time_axis(std::span<const T>(samples), codec.shape, codec.time_axis, false);
  std::memcpy(out.data(), samples.data(), out.size());
  return decoded;
}

// Word 7 as given (a signed axis, or longest_axis) resolved against the chunk's dimensions.
std::expected<unsigned, QuorvelError> resolve_time_axis(unsigned word, std::span<const std::uint64_t> dims) {
  const auto rank = static_cast<std::int64_t>(dims.size());
  if (word == longest_axis) {
    return static_cast<unsigned>(std::max_element(dims.rbegin(), dims.rend()).base() - dims.begin() - 1);
  }
  const std::int64_t signed_axis = std::bit_cast<std::int32_t>(word);
  const std::int64_t axis = signed_axis < 0 ? rank + signed_axis : signed_axis;
  if (axis < 0 || axis >= rank) {
    return refuse("time axis " + std::to_string(signed_axis) + " for a chunk of rank " + std::to_string(rank));
  }
  return static_cast<unsigned>(axis);
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
  const unsigned version = client_data[word_version];
  if (version < 1 || version > client_data_version) {
    return refuse("layout version " + std::to_string(version) + " is unknown (this filter reads 1 to " +
                  std::to_string(client_data_version) + ")");
  }
  if (client_data.size() < user_word_count(version)) {
    return refuse(std::to_string(client_data.size()) + " words, fewer than the " +
                  std::to_string(user_word_count(version)) + " of the settings");
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
  const std::size_t users = user_word_count(client_data[word_version]);
  std::vector<unsigned> words(client_data.begin(), client_data.begin() + static_cast<std::ptrdiff_t>(users));
  if (users > word_time_axis) {
    const auto axis = resolve_time_axis(words[word_time_axis], chunk_dims);
    if (!axis) return std::unexpected(axis.error());
    words[word_time_axis] = *axis;
  }
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
  const std::size_t users = user_word_count(client_data[word_version]);
  const std::size_t first_dim = users + 2;  // after the sample size and the rank
  if (client_data.size() < first_dim) return refuse("no chunk shape (the dataset was not set up by the filter)");
  const unsigned size = client_data[users];
  if (size != sizeof(float) && size != sizeof(double)) {
    return refuse("samples of " + std::to_string(size) + " bytes; the filter takes float32 or float64");
  }
  const unsigned rank = client_data[users + 1];
  if (rank < 1 || rank > frame_max_ndim) return refuse("chunk rank " + std::to_string(rank));
  if (client_data.size() != first_dim + rank) {
    return refuse(std::to_string(client_data.size()) + " words for a chunk of rank " + std::to_string(rank) +
                  ", which takes " + std::to_string(first_dim + rank));
  }
  const unsigned time_axis = users > word_time_axis ? client_data[word_time_axis] : rank - 1;
  if (time_axis >= rank) {
    return refuse("time axis " + std::to_string(time_axis) + " for a chunk of rank " + std::to_string(rank));
  }
  ChunkCodec codec{*settings, size == sizeof(float) ? FrameDtype::float32 : FrameDtype::float64, {}, size, time_axis};
  for (const unsigned dim : client_data.subspan(first_dim)) {
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
  const auto encode = [&](auto samples) {
    if (time_is_last(codec)) return encode_frame(samples, codec.shape, codec.settings);
    const auto moved = move_time_axis(samples, codec.shape, codec.time_axis, true);
    return encode_frame(std::span<const typename decltype(moved)::value_type>(moved), frame_shape(codec), codec.settings);
  };
  if (codec.dtype == FrameDtype::float32) return with_samples<float>(chunk, encode);
  return with_samples<double>(chunk, encode);
}

std::expected<void, QuorvelError> check_chunk_frame(const ChunkCodec& codec, std::span<const std::uint8_t> frame) {
  const auto info = read_frame_info(frame);
  if (!info) return std::unexpected(info.error());
  if (info->dtype != codec.dtype || info->shape != frame_shape(codec)) {
    return std::unexpected(QuorvelError::invalid_frame(
        "The chunk's frame holds " + chunk_text(info->dtype, info->shape) + " but the dataset's chunks are " +
        chunk_text(codec.dtype, frame_shape(codec)) + (time_is_last(codec) ? "" : " with time last")));
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
  if (codec.dtype == FrameDtype::float32) return decode_as<float>(codec, frame, out);
  return decode_as<double>(codec, frame, out);
}

}  // namespace quorvel::hdf5
