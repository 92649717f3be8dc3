// tests/cpp/conformance_test.cpp: the conformance corpus (tests/data/conformance/) decoded through the
// public codec API alone, each file's samples against the SHA-256 its manifest gives. The files were
// written by the codec and by the plain Python writer of tests/python/reference/ (block lengths,
// predictors and edges the encoders never choose by themselves), so a decoder change that moves a single
// bit of any coding shows here.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <fstream>
#include <iterator>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "codec/codec.hpp"
#include "rimble/processor_tier.hpp"
#include "sha256.hpp"

namespace {

const std::string corpus = QUORVEL_TEST_DATA_DIR "/conformance/";

struct Entry {
  std::string file, dtype, sha256;
  std::size_t samples;
};

struct Manifest {
  std::string tier;  // the processor tier whose version-1 digests the manifest gives
  std::vector<Entry> entries;
  std::map<std::string, std::string> other_tiers;  // "tier file" -> digest, version-1 files
};

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream s(line);
  for (std::string field; std::getline(s, field, '\t');) out.push_back(field);
  return out;
}

Manifest read_manifest() {
  Manifest m;
  std::ifstream in(corpus + "manifest.tsv");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# processor tier ", 0) == 0) m.tier = line.substr(17);
    const auto f = fields(line);
    if (line.empty() || line[0] == '#' || f.size() != 5 || f[0] == "file") continue;
    m.entries.push_back({f[0], f[3], f[4], std::stoul(f[2])});
  }
  std::ifstream tiers(corpus + "tiers.tsv");
  for (std::string line; std::getline(tiers, line);) {
    const auto f = fields(line);
    if (f.size() == 3 && line[0] != '#') m.other_tiers[f[0] + " " + f[1]] = f[2];
  }
  return m;
}

// The samples' bytes, little-endian whatever the host.
template <class T>
std::vector<std::uint8_t> little_endian_bytes(const std::vector<T>& values) {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  std::vector<std::uint8_t> out;
  for (const T v : values) {
    const auto bits = std::bit_cast<Bits>(v);
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  }
  return out;
}

// The decoded samples' bytes, or the codec's refusal as text.
std::expected<std::vector<std::uint8_t>, std::string> decoded(const std::vector<std::uint8_t>& data) {
  if (data.size() >= 6 && data[3] == 'C') {
    const auto info = quorvel::read_frame_info(data);
    if (!info) return std::unexpected(info.error().message());
    const auto decode_as = [&]<class T>(T) -> std::expected<std::vector<std::uint8_t>, std::string> {
      std::vector<T> out(info->sample_count);
      if (auto done = quorvel::decode_frame(data, std::span<T>(out)); !done) return std::unexpected(done.error().message());
      return little_endian_bytes(out);
    };
    return info->dtype == quorvel::FrameDtype::float32 ? decode_as(0.0f) : decode_as(0.0);
  }
  const auto samples = quorvel::decode(data);
  if (!samples) return std::unexpected(samples.error().message());
  const auto span = samples->span();
  if (data.size() >= 6 && data[4] == 1) {  // version 1: the module's decoder gives the same samples
    const auto plain = quorvel::decompress(data);
    if (!plain || !std::equal(plain->begin(), plain->end(), span.begin(), span.end()))
      return std::unexpected(std::string("decompress and decode disagree"));
  }
  return little_endian_bytes(std::vector<float>(span.begin(), span.end()));
}

// Version-1 samples come from a float transform whose last bits follow the processor tier.
bool tier_dependent(const std::vector<std::uint8_t>& data) { return data.size() > 5 && data[4] == 1; }

TEST(Conformance, EveryFileDecodesToTheSamplesOfItsManifest) {
  const Manifest manifest = read_manifest();
  ASSERT_GE(manifest.entries.size(), 60u) << "the corpus or its manifest is missing";
  const std::string tier(rimble::tier_name(rimble::processor_tier()));
  std::size_t checked = 0;
  for (const Entry& e : manifest.entries) {
    SCOPED_TRACE(e.file);
    const auto data = read_file(corpus + e.file);
    ASSERT_FALSE(data.empty());
    const auto bytes = decoded(data);
    ASSERT_TRUE(bytes.has_value()) << bytes.error();
    EXPECT_EQ(bytes->size(), e.samples * (e.dtype == "float64" ? 8 : 4));
    const std::string digest = quorvel_testing::sha256_hex(*bytes);
    // How tiers.tsv is made: the suite capped at each lower tier with QUORVEL_CONFORMANCE_DIGESTS set.
    if (std::getenv("QUORVEL_CONFORMANCE_DIGESTS") != nullptr && tier_dependent(data) && tier != manifest.tier)
      std::printf("%s\t%s\t%s\n", tier.c_str(), e.file.c_str(), digest.c_str());
    std::string expected = e.sha256;
    if (tier_dependent(data) && tier != manifest.tier) {
      const auto other = manifest.other_tiers.find(tier + " " + e.file);
      if (other == manifest.other_tiers.end()) continue;  // no digest recorded for this tier
      expected = other->second;
    }
    EXPECT_EQ(digest, expected);
    ++checked;
  }
  // Every version-2 file is exact on every tier.
  EXPECT_GE(checked, 50u);
}

// Each version-2 file's CRCs guard every block: a bit flipped in the last block is refused, never
// decoded to other samples.
TEST(Conformance, AFlippedBitInAnyVersion2FileIsRefused) {
  for (const Entry& e : read_manifest().entries) {
    auto data = read_file(corpus + e.file);
    if (data.size() < 6 || data[3] != 'L' || data[4] != 2) continue;
    SCOPED_TRACE(e.file);
    const auto info = quorvel::inspect(data);
    ASSERT_TRUE(info.has_value() && info->v2.has_value());
    const std::size_t end = info->v2->block_starts.back();  // after the last block's CRC
    for (const std::size_t back : {1u, 5u}) {  // in the CRC, and the coded part's last byte
      auto damaged = data;
      damaged[end - back] ^= 0x10;
      EXPECT_FALSE(quorvel::decode(damaged).has_value()) << back;
    }
  }
}

TEST(Conformance, Sha256MatchesKnownDigests) {
  const std::string abc = "abc";
  EXPECT_EQ(quorvel_testing::sha256_hex({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()}),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(quorvel_testing::sha256_hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
