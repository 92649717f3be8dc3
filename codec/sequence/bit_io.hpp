// codec/sequence/bit_io.hpp: bit-packed fields, least significant bit first, for block heads and raw bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvel::sequence {

// Appends fields of up to 32 bits to a byte vector.
class BitWriter {
 public:
  explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  void put(std::uint32_t value, int count) {
    buffer_ |= std::uint64_t{value & mask(count)} << filled_;
    filled_ += count;
    while (filled_ >= 8) {
      out_.push_back(static_cast<std::uint8_t>(buffer_));
      buffer_ >>= 8;
      filled_ -= 8;
    }
  }

  // Exp-Golomb code of order 1: 2 bits for 0 and 1, 4 bits for 2..5, and so on.
  void put_exp_golomb1(std::uint32_t value) {
    const std::uint64_t shifted = std::uint64_t{value} + 2;
    const int length = 64 - __builtin_clzll(shifted);  // >= 2
    put(0, length - 2);
    put(1, 1);
    put(static_cast<std::uint32_t>(shifted), length - 1);
  }

  // Pads the last byte with zeros.
  void flush() {
    if (filled_ > 0) out_.push_back(static_cast<std::uint8_t>(buffer_));
    buffer_ = 0;
    filled_ = 0;
  }

 private:
  static constexpr std::uint32_t mask(int count) { return count >= 32 ? ~0u : (1u << count) - 1; }

  std::vector<std::uint8_t>& out_;
  std::uint64_t buffer_ = 0;
  int filled_ = 0;
};

// Reads what BitWriter wrote. Reading past the end gives zeros and clears ok(); the caller checks it
// once after a run of fields instead of after each one.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint32_t get(int count) {
    std::uint32_t value = 0;
    for (int done = 0; done < count;) {
      const std::size_t byte = position_ >> 3;
      if (byte >= bytes_.size()) {
        ok_ = false;
        return 0;
      }
      const int offset = static_cast<int>(position_ & 7);
      const int take = count - done < 8 - offset ? count - done : 8 - offset;
      value |= ((std::uint32_t{bytes_[byte]} >> offset) & ((1u << take) - 1)) << done;
      done += take;
      position_ += static_cast<std::size_t>(take);
    }
    return value;
  }

  std::uint32_t get_exp_golomb1() {
    int zeros = 0;
    while (get(1) == 0) {
      if (++zeros > 31 || !ok_) {
        ok_ = false;
        return 0;
      }
    }
    const std::uint64_t shifted = (std::uint64_t{1} << (zeros + 1)) | get(zeros + 1);
    return static_cast<std::uint32_t>(shifted - 2);
  }

  [[nodiscard]] bool ok() const { return ok_; }
  // Bytes taken so far, the last one counted whole.
  [[nodiscard]] std::size_t bytes_used() const { return (position_ + 7) >> 3; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

}  // namespace quorvel::sequence
