// Blocks of the sequence coder against its independent Python model (tools/make_sequence_reference.py,
// from tests/python/reference/v2_model.py and tests/python/reference/v2_block.py): the C++ decoder gives back every model block's codes
// exactly, and the C++ encoder makes the model's bytes.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/sequence/block.hpp"
#include "codec_test_support.hpp"

namespace {

struct ReferenceBlock {
  quorvel::Effort effort;
  bool lossless;  // the default effort as a lossless caller codes (effort byte 3)
  std::vector<std::int32_t> codes;
  std::vector<std::uint8_t> block;
};

std::vector<ReferenceBlock> load_blocks() {
  std::ifstream file(QUORVEL_TEST_DATA_DIR "/sequence_reference.bin", std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::span<const std::uint8_t> b(bytes);
  std::vector<ReferenceBlock> blocks;
  std::size_t at = 0;
  while (at + 9 <= b.size()) {
    const std::uint32_t n = codec_test::get_u32(b, at), size = codec_test::get_u32(b, at + 5);
    const bool lossless = b[at + 4] == 3;
    ReferenceBlock r{lossless ? quorvel::Effort::default_ : static_cast<quorvel::Effort>(b[at + 4]), lossless, {}, {}};
    at += 9;
    for (std::uint32_t i = 0; i < n; ++i, at += 4) r.codes.push_back(static_cast<std::int32_t>(codec_test::get_u32(b, at)));
    r.block.assign(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
    blocks.push_back(std::move(r));
  }
  EXPECT_EQ(at, b.size()) << "reference file truncated";
  return blocks;
}

TEST(SequenceReference, DecodesTheModelsBlocksAndEncodesTheSameBytes) {
  const auto blocks = load_blocks();
  ASSERT_EQ(blocks.size(), 19u);
  for (const auto& r : blocks) {
    SCOPED_TRACE("n " + std::to_string(r.codes.size()) + " effort " + std::to_string(static_cast<int>(r.effort)) +
                 (r.lossless ? " lossless" : ""));
    std::vector<std::int32_t> decoded(r.codes.size());
    ASSERT_TRUE(quorvel::sequence::decode_block(r.block, decoded));
    EXPECT_EQ(decoded, r.codes);
    std::vector<std::uint8_t> encoded;
    std::vector<std::uint8_t>* const out[] = {&encoded};
    const std::span<const std::int32_t> codes(r.codes);
    quorvel::sequence::encode_blocks({&codes, 1}, r.effort, out, quorvel::sequence::kEveryCandidate, nullptr,
                                     r.lossless);
    EXPECT_EQ(encoded, r.block);
  }
}

}  // namespace
