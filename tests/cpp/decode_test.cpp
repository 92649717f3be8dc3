// The kit's roads for both container versions: settings that write either, and a decoder that reads either.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "codec/v2/decoder.hpp"
#include "codec/v2/encoder.hpp"
#include "codec_test_support.hpp"

namespace {

using quorvel::Settings;
using quorvel::Target;
using quorvel::TargetKind;
using Bytes = std::vector<std::uint8_t>;

std::vector<float> excerpt() {
  const auto ecg = codec_test::load_npy("ecg_mitbih208_360hz.npy");
  return {ecg.begin(), ecg.begin() + 40000};
}

TEST(Decode, ReadsContainersOfBothVersionsWholeOrInPart) {
  const auto x = excerpt();
  const Target target{TargetKind::max_error, 0.02};
  for (const std::uint16_t format : {1, 2}) {
    SCOPED_TRACE(format);
    Bytes container = quorvel::encode(std::span<const float>(x), Settings{.target = target, .format = format}).value();
    const std::size_t size = container.size();
    container.insert(container.end(), {'Q', 'R', 'V', 'S', 1});  // what follows is not the container's
    EXPECT_EQ(quorvel::container_version(container), format);
    const auto info = quorvel::inspect(container).value();
    EXPECT_EQ(info.version, format);
    EXPECT_EQ(info.sample_count, x.size());
    EXPECT_EQ(info.size, size);
    EXPECT_EQ(info.v1.has_value(), format == 1);
    EXPECT_EQ(info.v2.has_value(), format == 2);
    // The decoder of the version itself is the oracle.
    const std::vector<float> expected =
        format == 1 ? quorvel::decompress(container).value() : quorvel::v2::decode(container).value();
    const auto whole = quorvel::decode(container, 2).value();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), whole.data(), whole.data() + whole.size()));
    std::vector<float> part(1000);
    ASSERT_TRUE(quorvel::decode_into(container, 17000, part));
    EXPECT_TRUE(std::equal(part.begin(), part.end(), expected.begin() + 17000));
    EXPECT_EQ(quorvel::decode_into(container, 39500, part).error().message(),
              "Samples 39500 to 40500 asked of a container of 40000");
  }
}

TEST(Decode, RefusesWhatIsNotAContainerOfAKnownVersion) {
  const auto message = [](Bytes bytes) {
    const auto decoded = quorvel::decode(bytes);
    return decoded ? std::string("decoded") : decoded.error().message();
  };
  EXPECT_EQ(message({'Q', 'R', 'V', 'L', 2}), "Header is invalid");
  EXPECT_EQ(message({'Q', 'R', 'V', 'C', 1, 0}), "Magic should be 'QRVL' but it was 'QRVC'");
  EXPECT_EQ(message({'Q', 'R', 'V', 'L', 3, 0, 0, 0}), std::string("Invalid header version '\x03") + '\0' + "'");
}

TEST(Settings, FormatTwoWritesVersionTwoContainersToATarget) {
  const auto x = excerpt();
  const Target target{TargetKind::rmse, 0.01};
  const auto message = [&](const Settings& settings) {
    const auto container = quorvel::encode(std::span<const float>(x), settings);
    return container ? std::string("encoded") : container.error().message();
  };
  const Bytes second = quorvel::encode(std::span<const float>(x), Settings{.target = target, .format = 2}).value();
  EXPECT_EQ(second, quorvel::v2::encode(x, target).value());
  // Unasked, a target gets version 2; a named wavelet or fixed settings only version 1 has.
  const auto version_of = [&](const Settings& settings) {
    return quorvel::container_version(quorvel::encode(std::span<const float>(x), settings).value());
  };
  EXPECT_EQ(version_of({.target = target}), 2);
  EXPECT_EQ(version_of({.target = target, .aim = {.method = quorvel::CompressionMethod::db4}}), 1);
  EXPECT_EQ(version_of({}), 1);
  EXPECT_EQ(message({.target = target, .format = 3}), "Unknown container format 3, expected 1 or 2");
  EXPECT_EQ(message({.format = 2}),
            "Version-2 containers are encoded to a target; fixed method, scale and cutoff write version 1");
  EXPECT_EQ(message({.target = target, .aim = {.method = quorvel::CompressionMethod::db4}, .format = 2}),
            "Version-2 containers use no wavelet, so no method can be asked of them");
}

}  // namespace
