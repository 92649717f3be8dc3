// tests/fuzz/hdf5_filter_fuzz.cpp: arbitrary client data and chunk bytes into
// the HDF5 filter's reading side (the promises are in properties.hpp). Both come
// from the file being read, so both may be hostile.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/properties.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (const char* broken = quorvel::fuzz::hdf5_filter_property({data, size})) {
    std::fprintf(stderr, "broken promise: %s\n", broken);
    std::abort();
  }
  return 0;
}
