// codec/v1/decompressor.cpp: check the header, inflate, dequantise, inverse transform.
#include "codec/v1/decompressor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "codec/v1/deflate.hpp"
#include "codec/v1/wavelet.hpp"
#include "rimble/memory.hpp"

namespace quorvel {

namespace {

QuorvelError failed(std::string text) { return QuorvelError::decompression_failed(std::move(text)); }

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
  auto bytes = raw_inflate_stream(payload, needed);
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

// The header's limits that come before anything is sized by it.
std::expected<void, QuorvelError> check_counts(const ContainerHeader& h) {
  if (h.sample_count > max_sample_count) {
    return std::unexpected(failed("Can't decompress data bigger than " + std::to_string(max_sample_count) +
                                  ", but data was " + std::to_string(h.sample_count)));
  }
  if (h.levels > max_levels) {
    return std::unexpected(failed("Max supported level is 10 but it was " + std::to_string(h.levels)));
  }
  if (h.levels == 0) return std::unexpected(failed("Min supported level is 1 but it was " + std::to_string(h.levels)));
  return {};
}

// The payload's codes, checked against the bands and the scale.
std::expected<std::unique_ptr<Coefficients>, QuorvelError> read_codes(std::span<const std::uint8_t> data,
                                                                      const ContainerHeader& h,
                                                                      const decoder_stages::BandLayout& layout) {
  if (data.size() - header_size < h.payload_length) {
    return std::unexpected(failed("Minimum data size is " + std::to_string(header_size + h.payload_length) +
                                  ", but it was " + std::to_string(data.size())));
  }
  auto coefficients = inflate_payload(data.subspan(header_size, h.payload_length), layout.total);
  if (!coefficients) return std::unexpected(coefficients.error());
  if (h.scale < min_scale || h.scale > max_scale) {
    return std::unexpected(failed("Supported scales only [6, 12] but it was " + std::to_string(h.scale)));
  }
  const std::size_t available = (*coefficients)->values.size();
  if (available < layout.total) {
    return std::unexpected(failed("Coefficient stream is too short: the bands need " + std::to_string(layout.total) +
                                  " coefficients but the payload holds " + std::to_string(available)));
  }
  to_native_order((*coefficients)->values.first(layout.total));
  return coefficients;
}

// The decoder, writing the samples into room(count), which returns at least
// count floats or an empty span when it cannot. count is the inverse
// transform's length, at least the stored sample count; room is asked only
// once the payload has inflated and the bands fit, so a hostile container
// claiming a huge signal gets no memory for it.
template <class Room>
std::expected<std::size_t, QuorvelError> decode(std::span<const std::uint8_t> data, Room room) {
  const auto header = ContainerHeader::parse(data);
  if (!header) return std::unexpected(header.error());
  const ContainerHeader& h = *header;
  if (auto counts = check_counts(h); !counts) return std::unexpected(counts.error());

  const auto executor = method_executor(h.method);
  const auto layout = decoder_stages::band_layout(*executor, h.sample_count, h.levels);
  if (!layout) return std::unexpected(layout.error());
  auto coefficients = read_codes(data, h, *layout);
  if (!coefficients) return std::unexpected(coefficients.error());

  const std::size_t transformed = layout->reconstruction_length;
  const std::size_t count = std::max<std::size_t>(transformed, h.sample_count);
  const std::span<float> out = room(count);
  if (out.size() < count) return std::unexpected(QuorvelError::out_of_memory(count));
  const auto codes = (*coefficients)->values.first(layout->total);
  if (auto done = decoder_stages::reconstruct(*executor, *layout, codes, h, out); !done) {
    return std::unexpected(done.error());
  }
  coefficients->reset();
  const std::size_t decoded = std::min<std::size_t>(transformed, h.sample_count);
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(decoded), out.begin() + static_cast<std::ptrdiff_t>(h.sample_count),
            0.0f);
  return h.sample_count;
}

}  // namespace

namespace decoder_stages {

// Sample counts stay below 2^31 and at most 10 levels are split, so the sums
// cannot overflow; the check documents that and guards executors whose sizes
// might grow.
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

std::expected<void, QuorvelError> reconstruct(const rimble::DwtExecutor<float>& executor, const BandLayout& layout,
                                              std::span<const std::int16_t> codes, const ContainerHeader& header,
                                              std::span<float> out) {
  rimble::QuantisedMultiDwtView<float> view{codes.first(layout.approximation_length), {},
                                            std::ldexp(1.0f, -static_cast<int>(header.scale))};
  view.details.reserve(layout.detail_lengths.size());
  std::size_t offset = layout.approximation_length;
  for (const std::size_t length : layout.detail_lengths) {
    view.details.push_back(codes.subspan(offset, length));
    offset += length;
  }
  const std::span<float> samples = out.first(layout.reconstruction_length);
  if (auto done = executor.multi_idwt_quantised(view, output_map(header), samples); !done) {
    return std::unexpected(QuorvelError::transform_failed(done.error().message()));
  }
  if (!denormalises_in_float(header)) {
    denormalise_saturating(samples.first(std::min<std::size_t>(samples.size(), header.sample_count)), header);
  }
  return {};
}

}  // namespace decoder_stages

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
