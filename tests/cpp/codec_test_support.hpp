// Helpers shared by the codec tests: zlib as an independent DEFLATE oracle and
// containers assembled byte by byte.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/codec.hpp"

namespace codec_test {

inline const quorvel::CompressionOptions cdf53_opts(quorvel::CompressionMethod::cdf53, 11,
                                                     quorvel::CutoffLevel::low);

// A smooth wave with a little structure on top: neither constant nor noise.
inline std::vector<float> wave(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(0.05f * static_cast<float>(i)) * 3.0f + 0.01f * (i % 5);
  return x;
}

// compress() that must succeed: a failure is reported and yields no bytes.
inline std::vector<std::uint8_t> compress_ok(std::span<const float> x, quorvel::CompressionOptions o = cdf53_opts) {
  auto c = quorvel::compress(x, o);
  if (!c) ADD_FAILURE() << c.error().message();
  return c ? *c : std::vector<std::uint8_t>{};
}

// Raw inflate with zlib, the whole stream (tests only feed well-formed ones).
inline std::vector<std::uint8_t> inflate_raw(std::span<const std::uint8_t> in) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) throw std::runtime_error("inflateInit2");
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  std::vector<std::uint8_t> out;
  int status = Z_OK;
  while (status == Z_OK) {
    std::uint8_t chunk[1 << 14];
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    status = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
  }
  inflateEnd(&z);
  if (status != Z_STREAM_END) throw std::runtime_error("inflate did not reach the end of the stream");
  return out;
}

// Raw deflate with zlib at the given level.
inline std::vector<std::uint8_t> deflate_raw(std::span<const std::uint8_t> in, int level = 6) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
  std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(in.size())));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Raw deflate of `total` zero bytes, fed in small chunks so that the zeros
// never sit in memory at once: a DEFLATE bomb of little memory.
inline std::vector<std::uint8_t> deflate_zeros(std::size_t total, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
  static const std::uint8_t zeros[1 << 16] = {};
  std::vector<std::uint8_t> out;
  std::uint8_t chunk[1 << 16];
  for (std::size_t fed = 0;;) {
    const std::size_t step = std::min(total - fed, sizeof zeros);
    fed += step;
    z.next_in = const_cast<Bytef*>(zeros);
    z.avail_in = static_cast<uInt>(step);
    const int flush = fed == total ? Z_FINISH : Z_NO_FLUSH;
    int status;
    do {
      z.next_out = chunk;
      z.avail_out = sizeof chunk;
      status = deflate(&z, flush);
      out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
    } while (z.avail_out == 0);
    if (flush == Z_FINISH) {
      if (status != Z_STREAM_END) throw std::runtime_error("deflate");
      break;
    }
  }
  deflateEnd(&z);
  return out;
}

inline void put_u32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_f32(std::vector<std::uint8_t>& b, std::size_t at, float v) {
  put_u32(b, at, std::bit_cast<std::uint32_t>(v));
}
inline std::uint32_t get_u32(std::span<const std::uint8_t> b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= std::uint32_t{b[at + i]} << (8 * i);
  return v;
}
inline float get_f32(std::span<const std::uint8_t> b, std::size_t at) { return std::bit_cast<float>(get_u32(b, at)); }

// The 16-bit little-endian coefficients of an inflated stream.
inline std::vector<std::int16_t> coefficients_of(std::span<const std::uint8_t> stream) {
  std::vector<std::int16_t> out(stream.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::int16_t>(stream[2 * i] | stream[2 * i + 1] << 8);
  }
  return out;
}

// The payload of a container, inflated by zlib.
inline std::vector<std::uint8_t> inflated_payload(std::span<const std::uint8_t> container) {
  return inflate_raw(container.subspan(52, get_u32(container, 32)));
}

// A container assembled by hand: a 52-byte header with the given fields in
// front of `payload`.
struct HandHeader {
  const char* method = "cf53";
  std::uint8_t levels = 1;
  std::uint8_t scale = 8;
  std::uint32_t sample_count = 6;
  float minimum = 0.0f;
  float maximum = 1.0f;
  float mean = 0.0f;
};

inline std::vector<std::uint8_t> hand_container(const HandHeader& h, std::span<const std::uint8_t> payload,
                                                std::uint32_t payload_length) {
  std::vector<std::uint8_t> b(52 + payload.size(), 0);
  std::copy(payload.begin(), payload.end(), b.begin() + 52);
  const char head[] = {'Q', 'R', 'V', 'L', 1, 0, 'f', '3'};
  std::copy(std::begin(head), std::end(head), b.begin());
  std::copy(h.method, h.method + 4, b.begin() + 8);
  b[12] = h.levels;
  b[13] = h.scale;
  put_u32(b, 16, h.sample_count);
  put_f32(b, 20, h.minimum);
  put_f32(b, 24, h.maximum);
  put_f32(b, 28, h.mean);
  put_u32(b, 32, payload_length);
  return b;
}

inline std::vector<std::uint8_t> hand_container(const HandHeader& h, std::span<const std::uint8_t> payload) {
  return hand_container(h, payload, static_cast<std::uint32_t>(payload.size()));
}

// A coefficient stream of `count` zeros followed by nothing, deflated by zlib.
inline std::vector<std::uint8_t> zero_payload(std::size_t count, int level = 6) {
  return deflate_raw(std::vector<std::uint8_t>(2 * count, 0), level);
}

// A 1-D little-endian float32 .npy file from tests/data.
inline std::vector<float> load_npy(const std::string& name) {
  std::ifstream file(std::filesystem::path(QUORVEL_TEST_DATA_DIR) / name, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() < 10 || std::memcmp(bytes.data(), "\x93NUMPY", 6) != 0) {
    ADD_FAILURE() << name << " is not a .npy file";
    return {};
  }
  const auto u8 = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(bytes[i])); };
  const std::size_t data_at = 10 + (u8(8) | u8(9) << 8);
  std::vector<float> x((bytes.size() - data_at) / sizeof(float));
  std::memcpy(x.data(), bytes.data() + data_at, x.size() * sizeof(float));
  return x;
}

// The error figures of a decoded signal against the original, in double.
struct Figures {
  double max_abs = 0, rmse = 0, prd = 0;
};

template <class T>
Figures figures(std::span<const T> x, std::span<const float> y) {
  double ss = 0, sx = 0;
  Figures f;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double d = static_cast<double>(y[i]) - static_cast<double>(x[i]);
    f.max_abs = std::max(f.max_abs, std::abs(d));
    ss += d * d;
    sx += static_cast<double>(x[i]) * static_cast<double>(x[i]);
  }
  f.rmse = std::sqrt(ss / static_cast<double>(x.size()));
  f.prd = sx > 0 ? 100 * std::sqrt(ss / sx) : (ss > 0 ? INFINITY : 0);
  return f;
}

// A number as the codec's messages show it.
inline std::string figure_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

inline double figure_for(const Figures& f, quorvel::TargetKind kind) {
  switch (kind) {
    case quorvel::TargetKind::max_error: return f.max_abs;
    case quorvel::TargetKind::rmse: return f.rmse;
    case quorvel::TargetKind::prd: return f.prd;
    case quorvel::TargetKind::max_bytes: break;
  }
  return 0;
}

}  // namespace codec_test
