// tests/fuzz/frame_fuzz.cpp: arbitrary bytes into the chunk-frame decoder, both
// layouts (the seeds hold compact frames and lane-table ones; the promises are
// in properties.hpp).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/properties.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (const char* broken = quorvel::fuzz::frame_decode_property({data, size})) {
    std::fprintf(stderr, "broken promise: %s\n", broken);
    std::abort();
  }
  return 0;
}
