// tests/cpp/fuzz_regressions_test.cpp: every input the fuzzers ever broke the
// codec with is replayed through the promise it broke.
//
// Findings live in tests/data/fuzz-regressions/<driver>/, one raw input per
// file, exactly as libFuzzer saved it; tests/data/README.md says which bug
// each one found.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
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

// A driver's folder, and the promise its findings broke.
struct Driver {
  const char* name;
  const char* (*property)(std::span<const std::uint8_t>);
};

constexpr Driver drivers[] = {
    {"decompress_fuzz", quorvel::fuzz::decompress_property},      // the decoder: every promise kept
    {"compress_fuzz", quorvel::fuzz::round_trip_property},        // finite signals of their length
    {"frame_fuzz", quorvel::fuzz::frame_decode_property},         // frames fail cleanly or decode
    {"sequence_fuzz", quorvel::fuzz::sequence_property},          // the sequence coder's promises
    {"v2_decode_fuzz", quorvel::fuzz::v2_decode_property},        // version 2 fails cleanly or decodes
    {"hdf5_filter_fuzz", quorvel::fuzz::hdf5_filter_property},    // chunks fail cleanly or decode
    {"v2_encode_fuzz", quorvel::fuzz::v2_encoder_property},       // targets met or refused with a text
};

class Replay : public ::testing::Test {
 public:
  explicit Replay(const Driver& driver) : driver_(driver) {}
  void TestBody() override {
    for (const auto& entry : fs::directory_iterator(regressions / driver_.name)) {
      SCOPED_TRACE(entry.path().filename().string());
      const auto bytes = read_file(entry.path());
      if (const char* broken = driver_.property(bytes)) ADD_FAILURE() << "broken promise: " << broken;
    }
  }

 private:
  Driver driver_;
};

// A test per driver that has findings saved (FuzzRegressions.<driver>), registered before the suite
// runs, so that a driver without any shows no test rather than a skipped one.
[[maybe_unused]] const bool registered = [] {
  for (const Driver& driver : drivers) {
    if (!fs::is_directory(regressions / driver.name)) continue;
    ::testing::RegisterTest("FuzzRegressions", driver.name, nullptr, nullptr, __FILE__, __LINE__,
                            [driver]() -> ::testing::Test* { return new Replay(driver); });
  }
  return true;
}();

// Findings under a name no driver has would never be replayed.
TEST(FuzzRegressions, EveryFolderBelongsToADriver) {
  ASSERT_TRUE(fs::is_directory(regressions)) << regressions;
  for (const auto& entry : fs::directory_iterator(regressions)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(std::ranges::any_of(drivers, [&](const Driver& d) { return name == d.name; })) << name;
  }
}

}  // namespace
