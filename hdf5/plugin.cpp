// hdf5/plugin.cpp: the HDF5 filter plugin: the filter class and its three callbacks over hdf5/filter.hpp.
#include <array>
#include <cstring>
#include <exception>
#include <string>

#include "hdf5/filter.hpp"
#include "hdf5/host.hpp"

namespace quorvel::hdf5 {
namespace {

// Nothing may leave a callback but its return value: HDF5 is C.
constexpr const char* out_of_memory = "quorvel: out of memory";

std::string type_text(const Host& host, hid_t type) {
  const H5T_class_t kind = host.type_class(type);
  const std::string size = std::to_string(host.type_size(type)) + "-byte ";
  if (kind != H5T_FLOAT) return size + (kind == H5T_INTEGER ? "integers" : "non-float elements");
  return size + (host.type_order(type) == H5T_ORDER_LE ? "floats" : "big-endian floats");
}

// Only little-endian float32 and float64: the frame holds samples in the
// machine's order, and any other element has no meaning as a signal.
htri_t check_type(const Host& host, hid_t type) {
  const bool fits = host.type_class(type) == H5T_FLOAT && host.type_order(type) == H5T_ORDER_LE &&
                    (host.type_size(type) == sizeof(float) || host.type_size(type) == sizeof(double));
  if (fits) return 1;
  host.push(host.bad_type, "quorvel can_apply",
            "quorvel compresses float32 and float64 data (little-endian); this dataset holds " +
                type_text(host, type));
  return -1;  // an error, not "no": h5py adds the filter as optional, and HDF5 would drop it silently
}

// Completes the client data with the element size and the chunk's shape.
herr_t complete_client_data(const Host& host, hid_t dcpl, hid_t type) {
  std::array<unsigned, 64> given{};
  std::size_t count = given.size();
  unsigned flags = 0;
  if (host.filter_by_id(dcpl, filter_id, &flags, &count, given.data(), 0, nullptr, nullptr) < 0) return -1;
  std::array<hsize_t, frame_max_ndim> dims{};
  const int rank = host.chunk_dims(dcpl, static_cast<int>(dims.size()), dims.data());
  if (rank < 0) return -1;
  const std::vector<std::uint64_t> shape(dims.begin(), dims.begin() + rank);
  const auto words = local_client_data(std::span(given).first(std::min(count, given.size())), host.type_size(type),
                                       shape);
  if (!words) {
    host.push(host.cannot_filter, "quorvel set_local", "quorvel: " + words.error().message());
    return -1;
  }
  return host.modify_filter(dcpl, filter_id, flags, words->size(), words->data());
}

// A buffer from the host's allocator, which HDF5 frees.
struct HostBuffer {
  void* data;
  std::size_t size;
};

std::expected<HostBuffer, QuorvelError> allocate(const Host& host, std::size_t size) {
  void* data = host.allocate(size, false);
  if (data == nullptr) return std::unexpected(QuorvelError::out_of_memory(size));
  return HostBuffer{data, size};
}

std::expected<HostBuffer, QuorvelError> decoded(const Host& host, const ChunkCodec& codec,
                                                std::span<const std::uint8_t> frame) {
  if (auto checked = check_chunk_frame(codec, frame); !checked) return std::unexpected(checked.error());
  auto out = allocate(host, codec.chunk_bytes);
  if (!out) return out;
  if (auto done = decode_chunk(codec, frame, std::span(static_cast<std::byte*>(out->data), out->size)); !done) {
    host.free(out->data);
    return std::unexpected(done.error());
  }
  return out;
}

std::expected<HostBuffer, QuorvelError> encoded(const Host& host, const ChunkCodec& codec,
                                                std::span<const std::byte> chunk) {
  const auto frame = encode_chunk(codec, chunk);
  if (!frame) return std::unexpected(frame.error());
  auto out = allocate(host, frame->size());
  if (out) std::memcpy(out->data, frame->data(), out->size);
  return out;
}

std::size_t refuse_chunk(const Host& host, const QuorvelError& error) {
  host.push(host.cannot_filter, "quorvel filter", "quorvel: " + error.message());
  return 0;
}

// The chunk in `*buffer` (`size` bytes) becomes its frame, or its samples;
// returns the new size, 0 on failure.
std::size_t run_filter(const Host& host, unsigned flags, std::span<const unsigned> client_data, std::size_t size,
                       std::size_t* buffer_size, void** buffer) {
  const auto codec = read_client_data(client_data);
  if (!codec) return refuse_chunk(host, codec.error());
  const auto* chunk = static_cast<const std::byte*>(*buffer);
  const auto out = (flags & H5Z_FLAG_REVERSE) != 0
                       ? decoded(host, *codec, std::span(reinterpret_cast<const std::uint8_t*>(chunk), size))
                       : encoded(host, *codec, std::span(chunk, size));
  if (!out) return refuse_chunk(host, out.error());
  host.free(*buffer);
  *buffer = out->data;
  *buffer_size = out->size;
  return out->size;
}

// The callbacks: each finds the HDF5 library that called it (hdf5/host.hpp).

htri_t can_apply(hid_t, hid_t type, hid_t) {
  const auto host = host_of(__builtin_return_address(0));
  if (!host) return -1;
  try {
    return check_type(*host, type);
  } catch (const std::exception&) {
    host->push(host->cannot_filter, "quorvel can_apply", out_of_memory);
    return -1;
  }
}

herr_t set_local(hid_t dcpl, hid_t type, hid_t) {
  const auto host = host_of(__builtin_return_address(0));
  if (!host) return -1;
  try {
    return complete_client_data(*host, dcpl, type);
  } catch (const std::exception&) {
    host->push(host->cannot_filter, "quorvel set_local", out_of_memory);
    return -1;
  }
}

std::size_t filter(unsigned flags, std::size_t cd_count, const unsigned cd_values[], std::size_t size,
                   std::size_t* buffer_size, void** buffer) {
  const auto host = host_of(__builtin_return_address(0));
  if (!host) return 0;
  try {
    return run_filter(*host, flags, std::span(cd_values, cd_count), size, buffer_size, buffer);
  } catch (const std::exception&) {
    host->push(host->cannot_filter, "quorvel filter", out_of_memory);
    return 0;
  }
}

const H5Z_class2_t filter_class = {
    H5Z_CLASS_T_VERS, static_cast<H5Z_filter_t>(filter_id), 1, 1, filter_name, can_apply, set_local, filter,
};

}  // namespace
}  // namespace quorvel::hdf5

extern "C" {

H5PL_type_t H5PLget_plugin_type(void) { return H5PL_TYPE_FILTER; }

const void* H5PLget_plugin_info(void) { return &quorvel::hdf5::filter_class; }

}  // extern "C"
