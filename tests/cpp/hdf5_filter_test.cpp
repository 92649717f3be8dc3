// The HDF5 filter's core: client data read word by word, chunks to frames and back, hostile chunks.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "hdf5/filter.hpp"

namespace {

namespace h5 = quorvel::hdf5;
using Words = std::vector<unsigned>;
using Bytes = std::vector<std::uint8_t>;

// Client data written by hand from the documented layout, not by the filter.
Words words(unsigned kind, double value, unsigned method, unsigned effort, unsigned format,
            std::vector<unsigned> local = {}) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  Words w{1, kind, static_cast<unsigned>(bits), static_cast<unsigned>(bits >> 32), method, effort, format};
  w.insert(w.end(), local.begin(), local.end());
  return w;
}

// Layout version 2: the same settings (max error 0.01, default effort, format 2), then the time axis.
Words time_words(unsigned axis, std::vector<unsigned> local = {}) {
  Words w = words(0, 0.01, 0, 1, 2);
  w[0] = 2;
  w.push_back(axis);
  w.insert(w.end(), local.begin(), local.end());
  return w;
}

std::string error_of(const Words& w) {
  const auto codec = h5::read_client_data(w);
  return codec ? "accepted" : codec.error().message();
}

TEST(Hdf5Filter, ClientDataOfWrongLengthOrValuesIsRefused) {
  const std::string head = "HDF5 filter client data: ";
  const struct {
    Words words;
    std::string error;
  } rows[] = {
      {{}, head + "no words; the first is the layout version"},
      {{3, 0, 0, 0, 0, 1, 2, 0}, head + "layout version 3 is unknown (this filter reads 1 to 2)"},
      {{2, 0, 0, 0, 0, 1, 2}, head + "7 words, fewer than the 8 of the settings"},
      {time_words(3, {4, 2, 8, 8}), head + "time axis 3 for a chunk of rank 2"},
      {{1, 0, 0}, head + "3 words, fewer than the 7 of the settings"},
      {words(4, 0.1, 0, 1, 2), head + "unknown target kind 4"},
      {words(0, 0.1, 5, 1, 1), head + "unknown method 4"},
      {words(0, 0.1, 0, 3, 2), head + "unknown effort 3"},
      {words(0, 0.1, 0, 1, 0x10001), head + "unknown container format 65537"},
      {words(0, 0.1, 0, 1, 3), "Unknown container format 3, expected 1 or 2"},
      {words(0, 0.1, 1, 1, 2), "Version-2 containers use no wavelet, so no method can be asked of them"},
      {words(0, -1.0, 0, 1, 2), "Target must be a finite number >= 0, but it was -1"},
      {words(1, std::nan(""), 0, 1, 2), "Target must be a finite number >= 0, but it was nan"},
      {words(0, 0.1, 0, 1, 2), head + "no chunk shape (the dataset was not set up by the filter)"},
      {words(0, 0.1, 0, 1, 2, {2, 1, 8}), head + "samples of 2 bytes; the filter takes float32 or float64"},
      {words(0, 0.1, 0, 1, 2, {4, 0}), head + "chunk rank 0"},
      {words(0, 0.1, 0, 1, 2, {4, 33}), head + "chunk rank 33"},
      {words(0, 0.1, 0, 1, 2, {4, 2, 8}), head + "10 words for a chunk of rank 2, which takes 11"},
      {words(0, 0.1, 0, 1, 2, {4, 2, 8, 8, 8}), head + "12 words for a chunk of rank 2, which takes 11"},
      {words(0, 0.1, 0, 1, 2, {4, 1, 0}), head + "a chunk of dimension 0 is empty or over 4 GiB"},
      {words(0, 0.1, 0, 1, 2, {8, 2, 65536, 8192}), head + "a chunk of dimension 8192 is empty or over 4 GiB"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error);
    EXPECT_EQ(error_of(row.words), row.error);
  }
  EXPECT_EQ(error_of(words(3, 1000, 2, 0, 1, {8, 3, 2, 3, 65535})), "accepted");
}

TEST(Hdf5Filter, SetLocalAppendsTheChunkAndKeepsOnlyTheUsersWords) {
  const Words user = words(2, 1.5, 0, 2, 2);
  const std::uint64_t dims[] = {3, 7};
  const auto local = h5::local_client_data(user, 8, dims);
  ASSERT_TRUE(local) << local.error().message();
  EXPECT_EQ(*local, words(2, 1.5, 0, 2, 2, {8, 2, 3, 7}));
  // A dataset copied from a filtered one (h5repack) brings its old shape words.
  const std::uint64_t other[] = {5};
  const auto again = h5::local_client_data(*local, 4, other);
  ASSERT_TRUE(again) << again.error().message();
  EXPECT_EQ(*again, words(2, 1.5, 0, 2, 2, {4, 1, 5}));
  EXPECT_FALSE(h5::local_client_data(user, 2, dims));
  const std::uint64_t too_wide[] = {std::uint64_t{1} << 32};
  EXPECT_FALSE(h5::local_client_data(user, 4, too_wide));
}

TEST(Hdf5Filter, SetLocalResolvesTheTimeAxisAgainstTheChunk) {
  const std::uint64_t dims[] = {4000, 3, 4000};
  const struct {
    unsigned given;
    std::optional<unsigned> axis;  // none: refused
  } rows[] = {{0, 0}, {2, 2}, {static_cast<unsigned>(-1), 2}, {static_cast<unsigned>(-3), 0},
              {h5::longest_axis, 2}, {3, std::nullopt}, {static_cast<unsigned>(-4), std::nullopt}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.given);
    const auto local = h5::local_client_data(time_words(row.given), 4, dims);
    ASSERT_EQ(local.has_value(), row.axis.has_value());
    if (!local) continue;
    EXPECT_EQ(*local, time_words(*row.axis, {4, 3, 4000, 3, 4000}));
    EXPECT_EQ(h5::read_client_data(*local)->time_axis, *row.axis);
  }
  const std::uint64_t tall[] = {5000, 8};
  EXPECT_EQ((*h5::local_client_data(time_words(h5::longest_axis), 8, tall))[7], 0u);
}

// A (time, channels) chunk with time on axis 0 is stored as the frame of its transpose, and comes
// back in its own layout.
TEST(Hdf5Filter, ChunksWithTimeOnAnotherAxisAreTheFramesOfTheirTranspose) {
  const auto x = std::vector<float>{1.0f, -2.5f, 3.25f, 0.5f, 7.0f, -1.0f};  // (time 3, channels 2)
  std::vector<float> lanes(6);
  for (std::size_t t = 0; t < 3; ++t) {
    for (std::size_t c = 0; c < 2; ++c) lanes[c * 3 + t] = x[t * 2 + c];
  }
  const auto by_time = h5::read_client_data(time_words(0, {4, 2, 3, 2}));
  const auto by_lane = h5::read_client_data(time_words(1, {4, 2, 2, 3}));
  ASSERT_TRUE(by_time && by_lane);
  const auto frame = h5::encode_chunk(*by_time, std::as_bytes(std::span(x)));
  ASSERT_TRUE(frame) << frame.error().message();
  EXPECT_EQ(*frame, *h5::encode_chunk(*by_lane, std::as_bytes(std::span(lanes))));
  std::vector<float> y(6);
  ASSERT_TRUE(h5::decode_chunk(*by_time, *frame, std::as_writable_bytes(std::span(y))));
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(y[i], x[i], 0.01) << i;
  std::vector<float> wrong(6);
  const auto refused = h5::decode_chunk(*h5::read_client_data(time_words(1, {4, 2, 3, 2})), *frame,
                                        std::as_writable_bytes(std::span(wrong)));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "The chunk's frame holds float32 (2, 3) but the dataset's chunks are float32 (3, 2)");
}

template <class T>
std::vector<T> signal_with_gaps(std::size_t n) {
  std::vector<T> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<T>(std::sin(0.05 * i) * 3 + std::cos(0.31 * i));
  for (std::size_t i = 10; i < 17; ++i) x[i] = std::numeric_limits<T>::quiet_NaN();
  x[n / 2] = std::numeric_limits<T>::infinity();
  x[n - 1] = -std::numeric_limits<T>::infinity();
  return x;
}

std::span<const std::byte> bytes_of(const auto& v) { return std::as_bytes(std::span(v)); }

// A chunk of (3, 40) with NaN runs and infinities, at both formats and both
// sample types: every finite sample within the target, the rest exactly back,
// also through buffers that are not aligned for the sample type.
template <class T>
void round_trip(unsigned format) {
  SCOPED_TRACE(format);
  const auto codec = h5::read_client_data(words(0, 0.01, 0, 1, format, {sizeof(T), 2, 3, 40}));
  ASSERT_TRUE(codec) << codec.error().message();
  const auto x = signal_with_gaps<T>(120);
  const auto frame = h5::encode_chunk(*codec, bytes_of(x));
  ASSERT_TRUE(frame) << frame.error().message();
  EXPECT_EQ((*frame)[4], format);

  std::vector<T> y(x.size());
  ASSERT_TRUE(h5::decode_chunk(*codec, *frame, std::as_writable_bytes(std::span(y))));
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isfinite(x[i])) {
      EXPECT_LE(std::abs(double(x[i]) - double(y[i])), 0.01) << i;
    } else {
      EXPECT_EQ(std::memcmp(&x[i], &y[i], sizeof(T)), 0) << i;
    }
  }

  std::vector<std::byte> shifted(x.size() * sizeof(T) + 1);
  std::memcpy(shifted.data() + 1, x.data(), x.size() * sizeof(T));
  const auto again = h5::encode_chunk(*codec, std::span(shifted).subspan(1));
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *frame);
  ASSERT_TRUE(h5::decode_chunk(*codec, *frame, std::span(shifted).subspan(1)));
  EXPECT_EQ(std::memcmp(shifted.data() + 1, y.data(), y.size() * sizeof(T)), 0);
}

TEST(Hdf5Filter, ChunksComeBackWithinTheTargetAndMasksExact) {
  for (const unsigned format : {1u, 2u}) {
    round_trip<float>(format);
    round_trip<double>(format);
  }
}

TEST(Hdf5Filter, ChunkOfAnotherSizeTypeOrShapeIsRefused) {
  const auto codec = h5::read_client_data(words(0, 0.01, 0, 1, 2, {4, 2, 3, 40}));
  ASSERT_TRUE(codec);
  const auto x = signal_with_gaps<float>(120);
  const auto short_chunk = h5::encode_chunk(*codec, bytes_of(x).first(479));
  ASSERT_FALSE(short_chunk);
  EXPECT_EQ(short_chunk.error().message(), "HDF5 chunk of 479 bytes, but its shape takes 480");

  const auto frame = h5::encode_chunk(*codec, bytes_of(x));
  ASSERT_TRUE(frame);
  const struct {
    Words words;
    std::string error;
  } rows[] = {
      {words(0, 0.01, 0, 1, 2, {8, 2, 3, 40}), "float32 (3, 40) but the dataset's chunks are float64 (3, 40)"},
      {words(0, 0.01, 0, 1, 2, {4, 2, 4, 30}), "float32 (3, 40) but the dataset's chunks are float32 (4, 30)"},
      {words(0, 0.01, 0, 1, 2, {4, 1, 120}), "float32 (3, 40) but the dataset's chunks are float32 (120)"},
  };
  for (const auto& row : rows) {
    const auto mismatched = h5::read_client_data(row.words);
    ASSERT_TRUE(mismatched);
    std::vector<std::byte> out(mismatched->chunk_bytes);
    const auto decoded = h5::decode_chunk(*mismatched, *frame, out);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().message(), "The chunk's frame holds " + row.error);
  }
}

// Every truncation of a stored chunk, and a flip of every byte at a few bit
// positions: an error or some samples, never a crash (the sanitizers watch).
TEST(Hdf5Filter, DamagedChunksGiveErrorsNeverCrashes) {
  for (const unsigned format : {1u, 2u}) {
    const auto codec = h5::read_client_data(words(1, 0.05, 0, 0, format, {4, 2, 2, 64}));
    ASSERT_TRUE(codec);
    const auto frame = h5::encode_chunk(*codec, bytes_of(signal_with_gaps<float>(128)));
    ASSERT_TRUE(frame);
    std::vector<std::byte> out(codec->chunk_bytes);
    for (std::size_t size = 0; size < frame->size(); ++size) {
      EXPECT_FALSE(h5::decode_chunk(*codec, std::span(*frame).first(size), out)) << size;
    }
    for (std::size_t at = 0; at < frame->size(); ++at) {
      for (const std::uint8_t flip : {0x01, 0x10, 0x80}) {
        Bytes damaged = *frame;
        damaged[at] ^= flip;
        (void)h5::decode_chunk(*codec, damaged, out);
      }
    }
  }
}

}  // namespace
