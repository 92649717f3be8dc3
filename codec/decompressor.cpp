// codec/decompressor.cpp: check the header, inflate, dequantise, inverse transform.
#include "codec/decompressor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include <zlib.h>

#include "codec/compressor.hpp"
#include "codec/deflate.hpp"
#include "rimble/memory.hpp"

namespace quorvel {

namespace {

QuorvelError failed(std::string text) { return QuorvelError::decompression_failed(std::move(text)); }

// Where each band sits in the coefficient stream: the coarsest approximation
// band first, then the detail bands finest first.
struct BandLayout {
  std::size_t approximation_length = 0;
  std::vector<std::size_t> detail_lengths;
  std::size_t total = 0;                  // coefficients the bands need, in all
  std::size_t reconstruction_length = 0;  // samples the inverse transform returns
};

// Band sizes of `levels` successive splits of max(sample_count, F) samples, as
// the encoder's transform produced them. Sample counts stay below 2^31 and at
// most 10 levels are split, so the sums cannot overflow; the check documents
// that and guards executors whose sizes might grow.
std::expected<BandLayout, QuorvelError> band_layout(const rimble::DwtExecutor<float>& executor,
                                                    std::size_t sample_count, std::size_t levels) {
  BandLayout layout;
  std::size_t n = std::max(sample_count, executor.filter_length());
  layout.reconstruction_length = executor.idwt_size(executor.dwt_size(n));
  for (std::size_t k = 0; k < levels; ++k) {
    const rimble::BandLengths lengths = executor.dwt_size(n);
    layout.detail_lengths.push_back(lengths.details_length);
    if (__builtin_add_overflow(layout.total, lengths.details_length, &layout.total)) {
      return std::unexpected(failed("Band sizes overflow"));
    }
    n = lengths.approx_length;
  }
  layout.approximation_length = n;
  if (__builtin_add_overflow(layout.total, n, &layout.total) ||
      layout.total > std::numeric_limits<std::size_t>::max() / 2) {
    return std::unexpected(failed("Band sizes overflow"));
  }
  return layout;
}

std::string zlib_error_text(int code) {
  switch (code) {
    case Z_DATA_ERROR: return "corrupt deflate stream";
    case Z_MEM_ERROR: return "insufficient memory";
    case Z_STREAM_ERROR: return "inconsistent deflate stream state";
    case Z_VERSION_ERROR: return "incompatible zlib version";
    default: return "deflate decompression failed with zlib code " + std::to_string(code);
  }
}

// Streaming raw inflate that stops at the end of the stream, when the input is
// used up (a truncated stream yields what it decoded) or once `needed` bytes
// are out (whatever follows would be ignored). The buffer grows with what the
// stream actually delivers, never past `needed`.
std::expected<std::vector<std::uint8_t>, QuorvelError> inflate_with_zlib(std::span<const std::uint8_t> payload,
                                                                         std::size_t needed) {
  z_stream z{};
  if (const int init = inflateInit2(&z, -15); init != Z_OK) return std::unexpected(failed(zlib_error_text(init)));
  const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&z, inflateEnd);

  z.next_in = const_cast<Bytef*>(payload.data());  // zlib's API is not const-correct; it only reads
  z.avail_in = static_cast<uInt>(payload.size());   // payload lengths are 32-bit
  std::vector<std::uint8_t> out;
  std::size_t produced = 0;
  // Small first chunk: a hostile header can claim gigabytes while its payload
  // inflates to nothing, and this path serves exactly such streams (complete
  // ones go through libdeflate), so the buffer starts at 4 KiB and doubles.
  constexpr std::size_t first_chunk = std::size_t{1} << 12;
  constexpr std::size_t max_step = std::size_t{1} << 30;  // avail_out is a 32-bit count
  while (produced < needed) {
    if (produced == out.size()) out.resize(std::min(needed, std::max(first_chunk, 2 * out.size())));
    const std::size_t room = std::min(out.size() - produced, max_step);
    z.next_out = out.data() + produced;
    z.avail_out = static_cast<uInt>(room);
    const int status = inflate(&z, Z_NO_FLUSH);
    produced += room - z.avail_out;
    if (status == Z_STREAM_END || status == Z_BUF_ERROR) break;  // Z_BUF_ERROR: input used up
    if (status != Z_OK) return std::unexpected(failed(zlib_error_text(status)));
  }
  out.resize(produced);
  return out;
}

// At most 258 bytes per 2 bits (a length code and a distance code of one bit
// each): no raw DEFLATE stream of L bytes inflates to more than 1032 L bytes.
constexpr std::uint64_t max_deflate_ratio = 1032;

// The first `count` coefficients of the payload as 16-bit integers (fewer if
// the stream ends sooner). A complete, well-formed payload inflates with
// libdeflate in one shot straight into the array; every other outcome is left
// to zlib's streaming decoder, whose behaviour on truncated and malformed
// streams is the container's reference. The one-shot path allocates only when
// the payload could possibly fill the array, so a tiny container claiming a
// huge signal costs nothing. The array comes from malloc, like the samples,
// and the transform's transient levels take working memory of their own: a
// decode then holds 1.5 times its samples on the heap, below the twice the
// largest block at which glibc trims it, so a loop of decodes that drops each
// result keeps getting warm memory back.
struct Coefficients {
  rimble::LargeBlock<std::int16_t> one_shot;  // libdeflate's output, when it has one
  std::vector<std::int16_t> streamed;         // zlib's, otherwise
  std::span<std::int16_t> values;

  explicit Coefficients(std::size_t count) : one_shot(count) {}
};

std::expected<std::unique_ptr<Coefficients>, QuorvelError> inflate_payload(std::span<const std::uint8_t> payload,
                                                                           std::size_t count) {
  const std::size_t needed = 2 * count;
  // The one-shot array only when the payload could possibly fill it.
  const bool one_shot = needed / max_deflate_ratio <= payload.size();
  auto out = std::make_unique<Coefficients>(one_shot ? count : 0);
  if (one_shot && out->one_shot.data() != nullptr &&
      raw_inflate_exact(payload, {reinterpret_cast<std::uint8_t*>(out->one_shot.data()), needed})) {
    out->values = {out->one_shot.data(), count};
    return out;
  }
  auto bytes = inflate_with_zlib(payload, needed);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  out->streamed.resize(bytes->size() / 2);  // a last odd byte is no coefficient
  std::copy_n(bytes->data(), 2 * out->streamed.size(), reinterpret_cast<std::uint8_t*>(out->streamed.data()));
  out->values = out->streamed;
  return out;
}

// The stream stores little-endian integers.
void to_native_order(std::span<std::int16_t> values) {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::int16_t& v : values) v = static_cast<std::int16_t>(std::byteswap(static_cast<std::uint16_t>(v)));
  }
}

// De-normalising is ((y + mean) * range) + minimum in floats. With header
// statistics below 2^62 in magnitude it cannot overflow (reconstructions stay
// far below 2^40), and the transform applies it as it writes each sample.
// Larger ones (a range near the float limit, samples near -3.4e38 and 0) may
// overflow although adding the minimum would bring the value back, and the
// quantisation overshoot can pass the limit itself: those samples, and only
// those, are recomputed in double and saturated at the largest float.
bool denormalises_in_float(const QuorvelHeader& h) {
  constexpr float bound = 0x1p62f;
  return std::fabs(h.minimum) < bound && std::fabs(h.maximum) < bound && std::fabs(h.mean) < bound;
}

void denormalise_saturating(std::span<float> signal, const QuorvelHeader& h) {
  const float range = h.maximum - h.minimum;
  const double wide_range = static_cast<double>(h.maximum) - static_cast<double>(h.minimum);
  constexpr double largest = std::numeric_limits<float>::max();
  for (float& y : signal) {
    const float shifted = y + h.mean;
    const float value = (shifted * range) + h.minimum;
    y = std::isfinite(value) ? value
                             : static_cast<float>(std::clamp(shifted * wide_range + h.minimum, -largest, largest));
  }
}

// The decoder, writing the samples into room(count), which returns at least
// count floats or an empty span when it cannot. count is the inverse
// transform's length, at least the stored sample count; room is asked only
// once the payload has inflated and the bands fit, so a hostile container
// claiming a huge signal gets no memory for it.
template <class Room>
std::expected<std::size_t, QuorvelError> decode(std::span<const std::uint8_t> data, Room room) {
  auto header = QuorvelHeader::from_bytes(data);
  if (!header) return std::unexpected(std::move(header.error()));
  const QuorvelHeader& h = *header;

  if (h.sample_count > max_sample_count) {
    return std::unexpected(failed("Can't decompress data bigger than " + std::to_string(max_sample_count) +
                                  ", but data was " + std::to_string(h.sample_count)));
  }
  if (h.levels > 10) return std::unexpected(failed("Max supported level is 10 but it was " + std::to_string(h.levels)));
  if (h.levels == 0) return std::unexpected(failed("Min supported level is 1 but it was " + std::to_string(h.levels)));

  const auto executor = method_executor(*method_from_tag(h.method_tag));
  const auto layout = band_layout(*executor, h.sample_count, h.levels);
  if (!layout) return std::unexpected(layout.error());

  if (data.size() - header_size < h.payload_length) {
    return std::unexpected(failed("Minimum data size is " + std::to_string(header_size + h.payload_length) +
                                  ", but it was " + std::to_string(data.size())));
  }
  auto coefficients = inflate_payload(data.subspan(header_size, h.payload_length), layout->total);
  if (!coefficients) return std::unexpected(coefficients.error());

  if (h.scale < 6 || h.scale > 12) {
    return std::unexpected(failed("Supported scales only [6, 12] but it was " + std::to_string(h.scale)));
  }
  const std::size_t available = (*coefficients)->values.size();
  if (available < layout->total) {
    return std::unexpected(failed("Coefficient stream is too short: the bands need " + std::to_string(layout->total) +
                                  " coefficients but the payload holds " + std::to_string(available)));
  }
  const std::span<std::int16_t> all = (*coefficients)->values.first(layout->total);
  to_native_order(all);

  rimble::QuantisedMultiDwtView<float> view{all.first(layout->approximation_length), {},
                                            std::ldexp(1.0f, -static_cast<int>(h.scale))};
  std::size_t offset = layout->approximation_length;
  for (const std::size_t length : layout->detail_lengths) {
    view.details.push_back(all.subspan(offset, length));
    offset += length;
  }
  const bool in_float = denormalises_in_float(h);
  const rimble::OutputMap<float> map = in_float ? rimble::OutputMap<float>{h.mean, h.maximum - h.minimum, h.minimum}
                                                : rimble::OutputMap<float>{};
  const std::size_t transformed = layout->reconstruction_length;
  const std::size_t count = std::max<std::size_t>(transformed, h.sample_count);
  const std::span<float> out = room(count);
  if (out.size() < count) return std::unexpected(QuorvelError::out_of_memory(count));
  if (auto done = executor->multi_idwt_quantised(view, map, out.first(transformed)); !done) {
    return std::unexpected(QuorvelError::transform_failed(done.error().message()));
  }
  coefficients->reset();
  const std::size_t sample_count = h.sample_count;
  const std::size_t decoded = std::min(transformed, sample_count);
  if (!in_float) denormalise_saturating(out.first(decoded), h);
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(decoded), out.begin() + static_cast<std::ptrdiff_t>(sample_count),
            0.0f);
  return sample_count;
}

}  // namespace

std::expected<std::vector<float>, QuorvelError> decompress(std::span<const std::uint8_t> data) {
  std::vector<float> samples;
  auto count = decode(data, [&samples](std::size_t n) {
    auto room = rimble::zeroed_vector<float>(n);
    if (!room) return std::span<float>{};
    samples = std::move(*room);
    return std::span<float>(samples);
  });
  if (!count) return std::unexpected(std::move(count.error()));
  samples.resize(*count);
  return samples;
}

std::expected<rimble::LargeBlock<float>, QuorvelError> decompress_block(std::span<const std::uint8_t> data) {
  rimble::LargeBlock<float> samples;
  auto count = decode(data, [&samples](std::size_t n) {
    samples = rimble::LargeBlock<float>(n);
    return samples.span();
  });
  if (!count) return std::unexpected(std::move(count.error()));
  samples.truncate(*count);
  return samples;
}

}  // namespace quorvel
