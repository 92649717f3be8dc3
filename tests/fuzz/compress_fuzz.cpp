// tests/fuzz/compress_fuzz.cpp: arbitrary float32 bit patterns and options
// into the encoder, and its output back through the decoder (the promises and
// the input layout are in properties.hpp).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/properties.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < quorvel::fuzz::options_bytes) return -1;  // not an encoder input: keep it out of the corpus
  if (const char* broken = quorvel::fuzz::round_trip_property({data, size})) {
    std::fprintf(stderr, "broken promise: %s\n", broken);
    std::abort();
  }
  return 0;
}
