// codec/v2/bytes.hpp: little-endian fields and LEB128 numbers, appended to an array and read back with bounds
// checks.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvel {

class ByteWriter {
 public:
  explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  void u8(std::uint8_t value) { out_.push_back(value); }
  void u16(std::uint16_t value) { little_endian(value, 2); }
  void u32(std::uint32_t value) { little_endian(value, 4); }
  void f32(float value) { u32(std::bit_cast<std::uint32_t>(value)); }
  void f64(double value) { little_endian(std::bit_cast<std::uint64_t>(value), 8); }
  // Seven bits per byte, low bits first, the top bit set on every byte but the last.
  void leb128(std::uint64_t value) {
    for (; value >= 0x80; value >>= 7) out_.push_back(static_cast<std::uint8_t>(value | 0x80));
    out_.push_back(static_cast<std::uint8_t>(value));
  }
  void bytes(std::span<const std::uint8_t> data) { out_.insert(out_.end(), data.begin(), data.end()); }

 private:
  void little_endian(std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i) out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  std::vector<std::uint8_t>& out_;
};

// Every read answers nullopt (and reads nothing) when the bytes run out.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

  [[nodiscard]] std::size_t position() const { return at_; }
  [[nodiscard]] std::size_t remaining() const { return data_.size() - at_; }

  [[nodiscard]] std::optional<std::uint8_t> u8() {
    if (remaining() < 1) return std::nullopt;
    return data_[at_++];
  }
  [[nodiscard]] std::optional<std::uint16_t> u16() { return little_endian<std::uint16_t>(); }
  [[nodiscard]] std::optional<std::uint32_t> u32() { return little_endian<std::uint32_t>(); }
  [[nodiscard]] std::optional<float> f32() {
    const auto bits = u32();
    return bits ? std::optional<float>(std::bit_cast<float>(*bits)) : std::nullopt;
  }
  [[nodiscard]] std::optional<double> f64() {
    const auto bits = little_endian<std::uint64_t>();
    return bits ? std::optional<double>(std::bit_cast<double>(*bits)) : std::nullopt;
  }
  // A LEB128 number of at most `max_bits` bits; longer or larger encodings are refused.
  [[nodiscard]] std::optional<std::uint64_t> leb128(int max_bits = 64) {
    std::uint64_t value = 0;
    for (int shift = 0, at = static_cast<int>(at_); shift < max_bits; shift += 7) {
      if (static_cast<std::size_t>(at) >= data_.size()) return std::nullopt;
      const std::uint8_t byte = data_[static_cast<std::size_t>(at++)];
      const std::uint64_t bits = byte & 0x7Fu;
      if (max_bits - shift < 7 && (bits >> (max_bits - shift)) != 0) return std::nullopt;
      value |= bits << shift;
      if (byte < 0x80) {
        at_ = static_cast<std::size_t>(at);
        return value;
      }
    }
    return std::nullopt;
  }
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> take(std::size_t count) {
    if (remaining() < count) return std::nullopt;
    const auto part = data_.subspan(at_, count);
    at_ += count;
    return part;
  }

 private:
  template <class T>
  std::optional<T> little_endian() {
    if (remaining() < sizeof(T)) return std::nullopt;
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{data_[at_ + i]} << (8 * i));
    at_ += sizeof(T);
    return value;
  }
  std::span<const std::uint8_t> data_;
  std::size_t at_ = 0;
};

}  // namespace quorvel
