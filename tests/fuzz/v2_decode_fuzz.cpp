// tests/fuzz/v2_decode_fuzz.cpp: arbitrary bytes into the version-2 decoder (the
// promises are in properties.hpp).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/properties.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (const char* broken = quorvel::fuzz::v2_decode_property({data, size})) {
    std::fprintf(stderr, "broken promise: %s\n", broken);
    std::abort();
  }
  return 0;
}
