// Every encoder gives, byte for byte, the containers and frames recorded in
// tests/data/golden_containers.bin (tools/make_golden.py has the layout), and
// the same refusals with the same messages.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "codec/codec.hpp"
#include "rimble/processor_tier.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Settings = std::map<std::string, std::string>;

struct GoldenCase {
  int road;  // 0 plain, 1 aimed, 2 frame
  std::string text;
  Settings settings;
  std::variant<std::vector<float>, std::vector<double>> input;
  std::vector<std::uint64_t> shape;
  bool refused;
  Bytes output;  // the bytes, or the refusal's message
};

class Reader {
 public:
  explicit Reader(const Bytes& bytes) : bytes_(bytes) {}
  template <class T>
  T take() {
    T value{};
    if (at_ + sizeof(T) > bytes_.size()) throw std::runtime_error("golden file truncated");
    std::memcpy(&value, bytes_.data() + at_, sizeof(T));  // the file and the test hosts are little-endian
    at_ += sizeof(T);
    return value;
  }
  Bytes chunk(std::size_t size) {
    if (at_ + size > bytes_.size()) throw std::runtime_error("golden file truncated");
    at_ += size;
    return {bytes_.begin() + static_cast<std::ptrdiff_t>(at_ - size), bytes_.begin() + static_cast<std::ptrdiff_t>(at_)};
  }
  bool done() const { return at_ == bytes_.size(); }

 private:
  const Bytes& bytes_;
  std::size_t at_ = 0;
};

template <class T>
std::vector<T> samples_of(const Bytes& raw) {
  std::vector<T> out(raw.size() / sizeof(T));
  if (!raw.empty()) std::memcpy(out.data(), raw.data(), raw.size());
  return out;
}

Settings parse_settings(const std::string& text) {
  Settings settings;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    const std::string word = text.substr(at, end - at);
    const std::size_t equals = word.find('=');
    settings[word.substr(0, equals)] = word.substr(equals + 1);
    at = end + 1;
  }
  return settings;
}

struct GoldenFile {
  std::string tier;
  std::vector<GoldenCase> cases;
};

GoldenFile load() {
  std::ifstream file(QUORVEL_TEST_DATA_DIR "/golden_containers.bin", std::ios::binary);
  const Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  Reader r(bytes);
  if (r.chunk(4) != Bytes{'Q', 'G', 'L', 'D'} || r.take<std::uint32_t>() != 1) throw std::runtime_error("not a golden file");
  GoldenFile golden;
  const Bytes tier = r.chunk(r.take<std::uint32_t>());
  golden.tier.assign(tier.begin(), tier.end());
  std::vector<std::pair<bool, Bytes>> sources(r.take<std::uint32_t>());
  for (auto& [wide, raw] : sources) {
    wide = r.take<std::uint8_t>() == 1;
    raw = r.chunk(r.take<std::uint32_t>() * (wide ? 8 : 4));
  }
  for (std::uint32_t count = r.take<std::uint32_t>(); count > 0; --count) {
    GoldenCase c;
    c.road = r.take<std::uint8_t>();
    const Bytes text = r.chunk(r.take<std::uint32_t>());
    c.text.assign(text.begin(), text.end());
    c.settings = parse_settings(c.text);
    const auto& [wide, raw] = sources.at(r.take<std::uint32_t>());
    const std::size_t start = r.take<std::uint32_t>();
    std::size_t n = 1;
    for (std::uint8_t axes = r.take<std::uint8_t>(); axes > 0; --axes) n *= c.shape.emplace_back(r.take<std::uint64_t>());
    const std::size_t size = wide ? 8 : 4;
    const Bytes part(raw.begin() + static_cast<std::ptrdiff_t>(start * size),
                     raw.begin() + static_cast<std::ptrdiff_t>((start + n) * size));
    if (wide) {
      c.input = samples_of<double>(part);
    } else {
      c.input = samples_of<float>(part);
    }
    c.refused = r.take<std::uint8_t>() == 1;
    c.output = r.chunk(r.take<std::uint32_t>());
    golden.cases.push_back(std::move(c));
  }
  if (!r.done()) throw std::runtime_error("bytes after the last golden case");
  return golden;
}

std::string value(const Settings& s, const std::string& key, const std::string& otherwise) {
  const auto found = s.find(key);
  return found == s.end() ? otherwise : found->second;
}

template <class E>
E named(const std::string& name) {
  const auto value = quorvel::from_name<E>(name);
  if (!value) throw std::runtime_error("unknown name " + name);
  return *value;
}

quorvel::CompressionOptions fixed_options(const Settings& s) {
  return {named<quorvel::CompressionMethod>(value(s, "method", "cdf97")),
          static_cast<std::uint8_t>(std::stoi(value(s, "scale", "11"))),
          named<quorvel::CutoffLevel>(value(s, "cutoff", "low"))};
}

std::optional<quorvel::Target> target_of(const Settings& s) {
  for (const auto& [kind, name] : quorvel::Names<quorvel::TargetKind>::table) {
    if (s.contains(std::string(name))) return quorvel::Target{kind, std::strtod(s.at(std::string(name)).c_str(), nullptr)};
  }
  return std::nullopt;
}

quorvel::AimOptions aim_options(const Settings& s) {
  const std::string method = value(s, "method", "auto");
  return {method == quorvel::automatic_method_name ? std::nullopt
                                                   : std::optional(named<quorvel::CompressionMethod>(method)),
          named<quorvel::Effort>(value(s, "effort", "default"))};
}

// The bytes, or the refusal's message, that the case's road gives today.
std::pair<bool, Bytes> encode(const GoldenCase& c) {
  const auto outcome = [](const auto& result) {
    if (result) return std::pair{false, Bytes(*result)};
    const std::string message = result.error().message();
    return std::pair{true, Bytes(message.begin(), message.end())};
  };
  return std::visit(
      [&](const auto& x) {
        using T = typename std::decay_t<decltype(x)>::value_type;
        const std::span<const T> samples(x);
        if (c.road == 2) {
          const auto target = target_of(c.settings);
          const quorvel::FrameSettings settings{
              .fixed = target ? quorvel::CompressionOptions{} : fixed_options(c.settings),
              .target = target,
              .aim = target ? aim_options(c.settings) : quorvel::AimOptions{},
              .threads = 2,
              // The recorded frames are version 1, the version every reader takes.
              .format = static_cast<std::uint16_t>(std::stoi(value(c.settings, "format", "1")))};
          // Recorded in the lane-table layout: the lanes' containers are what they pin.
          return outcome(quorvel::encode_frame(samples, c.shape, settings, true, quorvel::FrameLayout::lane_table));
        }
        if (c.road == 1) return outcome(quorvel::compress_aimed(samples, *target_of(c.settings), aim_options(c.settings)));
        if constexpr (std::is_same_v<T, float>) return outcome(quorvel::compress(samples, fixed_options(c.settings)));
        throw std::runtime_error("the plain encoder takes float32 samples");
      },
      c.input);
}

// Length and CRC-32 of a case's outcome byte and output, as
// tests/data/golden_containers_tiers.txt records them for the other tiers.
std::string digest(std::size_t index, bool refused, const Bytes& output) {
  const auto flag = static_cast<Bytef>(refused ? 1 : 0);
  uLong crc = crc32(crc32(0L, &flag, 1), output.data(), static_cast<uInt>(output.size()));
  char text[64];
  std::snprintf(text, sizeof text, "%zu %zu %08lx", index, output.size(), crc);
  return text;
}

// "case length crc32" of every case recorded for `tier`.
std::vector<std::string> tier_digests(const std::string& tier) {
  std::ifstream file(QUORVEL_TEST_DATA_DIR "/golden_containers_tiers.txt");
  std::vector<std::string> digests;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(tier + " ", 0) == 0) digests.push_back(line.substr(tier.size() + 1));
  }
  return digests;
}

// On the tier the file was made on, the very bytes; on the others, whose
// transforms differ in their last bits, the digests recorded for them (both
// with libdeflate, which made the file). With
// QUORVEL_GOLDEN_DIGESTS set, the test prints this tier's digest lines (how
// golden_containers_tiers.txt is remade when the golden file is).
TEST(Golden, EveryEncoderGivesTheRecordedBytesAndRefusals) {
  const GoldenFile golden = load();
  ASSERT_EQ(golden.cases.size(), 163u);
  const std::string tier(rimble::tier_name(rimble::processor_tier()));
  const auto digests = tier == golden.tier ? std::vector<std::string>{} : tier_digests(tier);
  if (tier != golden.tier && digests.size() != golden.cases.size()) {
    GTEST_SKIP() << "no digests for tier " << tier << ", the file was made on tier " << golden.tier;
  }
  for (std::size_t i = 0; i < golden.cases.size(); ++i) {
    const GoldenCase& c = golden.cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " (road " + std::to_string(c.road) + ", " + c.text + ")");
    const auto [refused, output] = encode(c);
    if (std::getenv("QUORVEL_GOLDEN_DIGESTS") != nullptr) std::printf("%s %s\n", tier.c_str(), digest(i, refused, output).c_str());
    if (!QUORVEL_HAVE_LIBDEFLATE) {
      // zlib writes DEFLATE streams of its own, and the aimed roads choose by
      // their sizes: on the file's tier the plain encoder must still give the
      // recorded samples.
      if (c.road != 0 || tier != golden.tier) continue;
      EXPECT_EQ(refused, c.refused);
      if (!refused && !c.refused) {
        EXPECT_EQ(quorvel::decompress(output), quorvel::decompress(c.output));
      }
      continue;
    }
    if (tier != golden.tier) {
      EXPECT_EQ(digest(i, refused, output), digests[i]);
      continue;
    }
    EXPECT_EQ(refused, c.refused) << std::string(output.begin(), output.end());
    EXPECT_TRUE(output == c.output) << output.size() << " bytes against " << c.output.size();
  }
}

}  // namespace
