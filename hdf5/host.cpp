// hdf5/host.cpp: resolves the HDF5 functions and error ids from the calling library.
#include "hdf5/host.hpp"

#include <dlfcn.h>

namespace quorvel::hdf5 {
namespace {

template <class F>
bool take(void* library, const char* name, F& function) {
  function = reinterpret_cast<F>(dlsym(library, name));
  return function != nullptr;
}

// The error ids are the library's global variables, set when it initialised
// (which it has, since it is calling us).
bool take_id(void* library, const char* name, hid_t& id) {
  const auto* variable = static_cast<const hid_t*>(dlsym(library, name));
  if (variable != nullptr) id = *variable;
  return variable != nullptr;
}

std::optional<Host> resolve(void* library) {
  Host host{};
  const bool complete =
      take(library, "H5Tget_class", host.type_class) && take(library, "H5Tget_size", host.type_size) &&
      take(library, "H5Tget_order", host.type_order) && take(library, "H5Pget_chunk", host.chunk_dims) &&
      take(library, "H5Pget_filter_by_id2", host.filter_by_id) &&
      take(library, "H5Pmodify_filter", host.modify_filter) && take(library, "H5allocate_memory", host.allocate) &&
      take(library, "H5free_memory", host.free) && take(library, "H5Epush2", host.push_error) &&
      take_id(library, "H5E_ERR_CLS_g", host.error_class) && take_id(library, "H5E_PLINE_g", host.pipeline) &&
      take_id(library, "H5E_CANTFILTER_g", host.cannot_filter) && take_id(library, "H5E_BADTYPE_g", host.bad_type);
  if (!complete) return std::nullopt;
  return host;
}

}  // namespace

void Host::push(hid_t minor, const char* function, const std::string& message) const {
  // The stack names the plugin, not a source line of this helper.
  push_error(H5E_DEFAULT, "libquorvel_hdf5.so", function, 0, error_class, pipeline, minor, "%s", message.c_str());
}

std::optional<Host> host_of(const void* caller) {
  Dl_info info{};
  if (dladdr(caller, &info) != 0 && info.dli_fname != nullptr) {
    // RTLD_NOLOAD only takes a new reference to a library already loaded; the
    // application keeps it loaded while it calls us, so the reference can go
    // at once.
    if (void* library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD)) {
      auto host = resolve(library);
      dlclose(library);
      if (host) return host;
    }
  }
  return resolve(RTLD_DEFAULT);
}

}  // namespace quorvel::hdf5
