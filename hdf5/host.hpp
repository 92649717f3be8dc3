// hdf5/host.hpp: the HDF5 functions the plugin calls, taken at run time from the library that called it.
#pragma once

// The plugin links no libhdf5. Applications bring their own: Debian's h5dump
// links the system's, h5py's wheel bundles another (a different version and
// soname) and loads it privately, where a plain undefined symbol or
// dlsym(RTLD_DEFAULT) would not find it. The one library that is sure to be
// right is the one calling the filter's callbacks, so each callback passes
// its return address, and the functions come from the shared object holding
// that address; the process's global scope is the fallback.

#include <H5PLextern.h>
#include <hdf5.h>

#include <optional>
#include <string>

namespace quorvel::hdf5 {

struct Host {
  decltype(&H5Tget_class) type_class;
  decltype(&H5Tget_size) type_size;
  decltype(&H5Tget_order) type_order;
  decltype(&H5Pget_chunk) chunk_dims;
  decltype(&H5Pget_filter_by_id2) filter_by_id;
  decltype(&H5Pmodify_filter) modify_filter;
  decltype(&H5allocate_memory) allocate;
  decltype(&H5free_memory) free;
  decltype(&H5Epush2) push_error;
  hid_t error_class;     // the library's own error class
  hid_t pipeline;        // major: the filter pipeline
  hid_t cannot_filter;   // minor: a filter failed
  hid_t bad_type;        // minor: a datatype the filter refuses

  // Puts `message` on the default error stack, under the pipeline's major error.
  // HDF5 1.10 keeps what a filter pushes while it reads; HDF5 2.0 keeps what
  // can_apply and set_local push but drops the filter's own, leaving its
  // "filter returned failure during read".
  void push(hid_t minor, const char* function, const std::string& message) const;
};

// The HDF5 library that holds `caller`, an address in its code; nullopt when
// neither it nor the global scope has every function above.
[[nodiscard]] std::optional<Host> host_of(const void* caller);

}  // namespace quorvel::hdf5
