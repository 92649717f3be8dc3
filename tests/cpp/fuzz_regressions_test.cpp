// tests/cpp/fuzz_regressions_test.cpp: every input the fuzzers ever broke the
// codec with is replayed through the promise it broke.
//
// Findings live in tests/data/fuzz-regressions/<driver>/, one raw input per
// file, exactly as libFuzzer saved it; tests/data/README.md says which bug
// each one found.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/properties.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path regressions = fs::path(QUORVEL_TEST_DATA_DIR) / "fuzz-regressions";

std::vector<std::uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class Property>
void replay(const std::string& driver, Property property) {
  const fs::path folder = regressions / driver;
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no findings saved for " << driver;
  for (const auto& entry : fs::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().filename().string());
    const auto bytes = read_file(entry.path());
    if (const char* broken = property(bytes)) ADD_FAILURE() << "broken promise: " << broken;
  }
}

TEST(FuzzRegressions, DecoderFindingsKeepEveryPromise) {
  replay("decompress_fuzz", [](const std::vector<std::uint8_t>& bytes) {
    return quorvel::fuzz::decompress_property(bytes);
  });
}

TEST(FuzzRegressions, EncoderFindingsRoundTripToFiniteSignalsOfTheirLength) {
  replay("compress_fuzz", [](const std::vector<std::uint8_t>& bytes) {
    return quorvel::fuzz::round_trip_property(bytes);
  });
}

TEST(FuzzRegressions, FrameFindingsFailCleanlyOrDecode) {
  replay("frame_fuzz", [](const std::vector<std::uint8_t>& bytes) {
    return quorvel::fuzz::frame_decode_property(bytes);
  });
}

TEST(FuzzRegressions, SequenceCoderFindingsKeepEveryPromise) {
  replay("sequence_fuzz", [](const std::vector<std::uint8_t>& bytes) { return quorvel::fuzz::sequence_property(bytes); });
}

TEST(FuzzRegressions, VersionTwoDecoderFindingsFailCleanlyOrDecode) {
  replay("v2_decode_fuzz", [](const std::vector<std::uint8_t>& bytes) {
    return quorvel::fuzz::v2_decode_property(bytes);
  });
}

TEST(FuzzRegressions, Hdf5FilterFindingsFailCleanlyOrDecode) {
  replay("hdf5_filter_fuzz", [](const std::vector<std::uint8_t>& bytes) {
    return quorvel::fuzz::hdf5_filter_property(bytes);
  });
}

}  // namespace
