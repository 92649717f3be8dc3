// tests/fuzz/v2_encode_fuzz.cpp: arbitrary samples, targets and options into the
// version-2 aimed encoder, and its containers back through the decoder (the
// promises and the input layout are in properties.hpp).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/properties.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < quorvel::fuzz::v2_encoder_header_bytes) return -1;  // not an encoder input
  if (const char* broken = quorvel::fuzz::v2_encoder_property({data, size})) {
    std::fprintf(stderr, "broken promise: %s\n", broken);
    std::abort();
  }
  return 0;
}
