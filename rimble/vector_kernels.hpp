// rimble/vector_kernels.hpp: the polyphase filter-bank loops of every vector tier, written once
// over a register type, and the kernels they make of a tier's registers. Included only by a
// tier's rimble/<folder>/filter_bank.cpp.
//
// Forward. Output i of a band is sum_j f[j] x[2i+j]: the window of output i+1 is
// that of output i moved by one sample pair. Grouping the taps in pairs,
//   a[i] = sum_k (low[2k], low[2k+1]) . (x[2i+2k], x[2i+2k+1]),
// one unaligned load at x + 2i + 2k holds the sample pairs of W/2 consecutive
// outputs (W lanes), and one multiply-add by the tap pair repeated over the
// register adds tap pair k to all of them at once: the taps run down the lanes
// vertically, with no shuffle in the loop. Each lane sums the even or the odd
// taps of its output; one pairwise add of two such registers at the end joins
// the halves into W outputs.
//
// Inverse. The inverse is the transpose of the forward step: with h = L/2 - 1,
//   out[2m+p] += sum_q low[2q+p] a[m+h-q] + high[2q+p] d[m+h-q],  p = 0, 1,
// so a register of output pairs (even, odd) is again a vertical sum: each
// coefficient, loaded unaligned and doubled in place, times the tap pair
// (f[2q], f[2q+1]) repeated over the register. In this gathering form every
// output sample reads only coefficients that exist: no sample needs a bound
// check and no output the border mode.
//
// Quantised inverse. A decoder's level reads 16-bit details times a step and
// maps what it writes. Block by block, each approximation and its widened
// detail are interleaved into a small buffer z = a0 d0 a1 d1 ...; then one
// unaligned load of z at pair j holds the (a, d) pairs of kLanes / 2
// consecutive outputs, and one multiply-add by (low[2q], high[2q]) repeated
// over the register, another by (low[2q+1], high[2q+1]), add tap pair q to
// their even and their odd samples: lane 2t sums the approximation's part,
// lane 2t+1 the detail's, in the order the inverse above sums them, and one
// pairwise add joins the parts. No shuffle per tap pair, and the samples are
// those of the inverse above adding into zeros, then the map.
//
// A tier supplies the register type R:
//   reg: a vector of floats (kLanes of them) in GCC's vector extension, as __m128 and __m256
//     are, which the loops zero, load, store, add and multiply themselves;
//   broadcast(x): x repeated over the register;
//   tap_pair(f): f[0], f[1] repeated over the register;
//   multiply_add(a, b, sum): sum + a b (fused or not, as the tier rounds);
//   hold(v): keeps v in a register (no-op where the compiler does so anyway);
//   add_pairs(a, b): the sums of adjacent lanes of a, then of b, in lane order;
//   repeat_low(v), repeat_high(v): each lane of the low / high half of every
//     128-bit group doubled in place;
//   join_first(f, s), join_second(f, s): the output registers in memory order
//     from the registers built from repeat_low (f) and repeat_high (s);
//   interleave_pair_sums(e, o): e0+e1, o0+o1, e2+e3, o2+o3, ... in lane order.
// Bands shorter than one register run on the portable kernels.
//
// GCC inlines a function with a target attribute only into one with the same
// target, so the loops carry the tier's attribute too: a tier's file defines
// RIMBLE_VECTOR_TARGET before including this header, and the loops have
// internal linkage, so each tier compiles its own copy for its own target. Their
// three entry points (forward, inverse, inverse_quantised) are called, not
// inlined, by the tier's kernels at the end of this file, which are baseline code.
//
// A tier's file then, in namespace rimble, defines its register type R with
// RIMBLE_VECTOR_OPERATION on each member, declares
//   template <> struct TierLoops<ProcessorTier::Tier> : VectorLoops<R> {};
// and instantiates its kernels with RIMBLE_INSTANTIATE_VECTOR_KERNELS(ProcessorTier::Tier).
#pragma once

#ifndef RIMBLE_VECTOR_TARGET
#error "define RIMBLE_VECTOR_TARGET (the tier's target attribute) before including rimble/vector_kernels.hpp"
#endif

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rimble/processor_tier.hpp"
#include "rimble/records.hpp"
#include "rimble/vector_filter_bank.hpp"
#include "rimble/wavelet_n_taps.hpp"

// An operation on a tier's registers: compiled for the tier, always inlined into the loops.
#define RIMBLE_VECTOR_OPERATION [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static

namespace rimble {
namespace {

template <class R>
struct VectorLoops {
  using reg = typename R::reg;
  static constexpr std::size_t kLanes = sizeof(reg) / sizeof(float);

  // Unaligned loads and stores of a whole register.
  RIMBLE_VECTOR_OPERATION reg load(const float* p) {
    reg v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  RIMBLE_VECTOR_OPERATION void store(float* p, reg v) { std::memcpy(p, &v, sizeof v); }

  template <std::size_t L>
  [[gnu::always_inline]] static std::size_t tap_pairs(std::size_t taps) {
    return L != 0 ? L / 2 : taps / 2;
  }

  // B blocks of kLanes consecutive outputs starting at approx/details, window
  // at x. Register r holds the sample pairs of kLanes / 2 outputs; lane 2t sums
  // the even taps of its output, lane 2t+1 the odd taps.
  template <std::size_t L, std::size_t B>
  [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static void forward_registers(
      const float* x, const float* low, const float* high, std::size_t taps, float* approx, float* details) {
    reg low_sums[2 * B], high_sums[2 * B];
    #pragma GCC unroll 16
    for (std::size_t r = 0; r < 2 * B; ++r) low_sums[r] = high_sums[r] = reg{};
    const std::size_t pairs = tap_pairs<L>(taps);
    #pragma GCC unroll 16
    for (std::size_t k = 0; k < pairs; ++k) {
      const reg low_pair = R::tap_pair(low + 2 * k);
      const reg high_pair = R::tap_pair(high + 2 * k);
      #pragma GCC unroll 16
      for (std::size_t r = 0; r < 2 * B; ++r) {
        reg samples = load(x + kLanes * r + 2 * k);
        R::hold(samples);
        low_sums[r] = R::multiply_add(low_pair, samples, low_sums[r]);
        high_sums[r] = R::multiply_add(high_pair, samples, high_sums[r]);
      }
    }
    #pragma GCC unroll 16
    for (std::size_t b = 0; b < B; ++b) {
      store(approx + kLanes * b, R::add_pairs(low_sums[2 * b], low_sums[2 * b + 1]));
      store(details + kLanes * b, R::add_pairs(high_sums[2 * b], high_sums[2 * b + 1]));
    }
  }

  // The sums of out[2m .. 2m + 2 kLanes B) and the contributions of the
  // coefficient pairs m-h .. m + kLanes B - 1 (a and d point at coefficient m)
  // into sums[2b] (out + 2 kLanes b) and sums[2b+1] (out + 2 kLanes b + kLanes),
  // unstored. The B blocks share the tap pairs.
  template <std::size_t L, std::size_t B>
  [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static void inverse_registers(
      const float* a, const float* d, const float* low, const float* high, std::size_t taps, const float* out,
      reg (&sums)[2 * B]) {
    reg approx_first[B], approx_second[B], detail_first[B], detail_second[B];
    #pragma GCC unroll 16
    for (std::size_t b = 0; b < B; ++b) {
      approx_first[b] = approx_second[b] = detail_first[b] = detail_second[b] = reg{};
    }
    const std::size_t pairs = tap_pairs<L>(taps);
    #pragma GCC unroll 16
    for (std::size_t q = 0; q < pairs; ++q) {
      const std::size_t offset = pairs - 1 - q;
      const reg low_pair = R::tap_pair(low + 2 * q);
      const reg high_pair = R::tap_pair(high + 2 * q);
      #pragma GCC unroll 16
      for (std::size_t b = 0; b < B; ++b) {
        const reg approx = load(a + kLanes * b + offset);
        const reg detail = load(d + kLanes * b + offset);
        approx_first[b] = R::multiply_add(low_pair, R::repeat_low(approx), approx_first[b]);
        approx_second[b] = R::multiply_add(low_pair, R::repeat_high(approx), approx_second[b]);
        detail_first[b] = R::multiply_add(high_pair, R::repeat_low(detail), detail_first[b]);
        detail_second[b] = R::multiply_add(high_pair, R::repeat_high(detail), detail_second[b]);
      }
    }
    #pragma GCC unroll 16
    for (std::size_t b = 0; b < B; ++b) {
      const reg mixed_first = approx_first[b] + detail_first[b];
      const reg mixed_second = approx_second[b] + detail_second[b];
      const float* base = out + 2 * kLanes * b;
      sums[2 * b] = load(base) + R::join_first(mixed_first, mixed_second);
      sums[2 * b + 1] = load(base + kLanes) + R::join_second(mixed_first, mixed_second);
    }
  }

  template <std::size_t N>
  [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static void store_registers(float* out,
                                                                                        const reg (&sums)[N]) {
    #pragma GCC unroll 16
    for (std::size_t r = 0; r < N; ++r) store(out + kLanes * r, sums[r]);
  }

  // The quantised inverse's registers: B output registers of kLanes samples
  // from z (pointing at the pair of their first output), taps the table
  // low[2q], high[2q], low[2q+1], high[2q+1] for q = 0 .. L/2 - 1.
  template <std::size_t L, std::size_t B>
  [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static void interleaved_registers(
      const float* z, const float* taps, const OutputMap<float>& map, reg (&sums)[B]) {
    reg even[B], odd[B];
    #pragma GCC unroll 16
    for (std::size_t b = 0; b < B; ++b) even[b] = odd[b] = reg{};
    #pragma GCC unroll 16
    for (std::size_t q = 0; q < L / 2; ++q) {
      const std::size_t offset = 2 * (L / 2 - 1 - q);
      const reg even_taps = R::tap_pair(taps + 4 * q);
      const reg odd_taps = R::tap_pair(taps + 4 * q + 2);
      #pragma GCC unroll 16
      for (std::size_t b = 0; b < B; ++b) {
        reg pairs = load(z + kLanes * b + offset);
        R::hold(pairs);
        even[b] = R::multiply_add(even_taps, pairs, even[b]);
        odd[b] = R::multiply_add(odd_taps, pairs, odd[b]);
      }
    }
    const reg shift = R::broadcast(map.shift), scale = R::broadcast(map.scale), offset = R::broadcast(map.offset);
    #pragma GCC unroll 16
    for (std::size_t b = 0; b < B; ++b) {
      sums[b] = (R::interleave_pair_sums(even[b], odd[b]) + shift) * scale + offset;
    }
  }

  // Writes map(inverse) of `count` output pairs over out (uninitialised) from
  // the interleaved pairs z of one block; count >= kLanes / 2.
  template <std::size_t L>
  [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static void interleaved_block(
      const float* z, std::size_t count, const float* taps, const OutputMap<float>& map, float* out) {
    constexpr std::size_t pairs_per_register = kLanes / 2;
    std::size_t m = 0;
    for (; m + 4 * pairs_per_register <= count; m += 4 * pairs_per_register) {
      reg sums[4];
      interleaved_registers<L, 4>(z + 2 * m, taps, map, sums);
      store_registers(out + 2 * m, sums);
    }
    for (; m + pairs_per_register <= count; m += pairs_per_register) {
      reg sums[1];
      interleaved_registers<L, 1>(z + 2 * m, taps, map, sums);
      store_registers(out + 2 * m, sums);
    }
    // The last few pairs: one register ending at the last pair, recomputing
    // some with the same operations.
    if (m < count) {
      reg sums[1];
      interleaved_registers<L, 1>(z + 2 * (count - pairs_per_register), taps, map, sums);
      store_registers(out + 2 * (count - pairs_per_register), sums);
    }
  }

  template <std::size_t L>
  [[gnu::target(RIMBLE_VECTOR_TARGET)]] static void inverse_quantised(
      const float* approx, const std::int16_t* details, float step, std::size_t count, const float* low,
      const float* high, float* out, const OutputMap<float>& map) {
    static_assert(L >= 2 && L <= 16, "the quantised inverse is unrolled for fixed filter lengths");
    // Below a register of pairs, as inverse() does: the samples must be those
    // of the same kernel, and the portable one rounds a multiply-add twice.
    if (count < kLanes) {
      PortableKernels<float>::inverse_quantised<L>(approx, details, step, count, low, high, out, map);
      return;
    }
    std::array<float, 2 * L> taps;
    for (std::size_t q = 0; q < L / 2; ++q) {
      taps[4 * q] = low[2 * q];
      taps[4 * q + 1] = high[2 * q];
      taps[4 * q + 2] = low[2 * q + 1];
      taps[4 * q + 3] = high[2 * q + 1];
    }
    // Blocks of output pairs whose interleaved coefficients (block + L/2 - 1
    // pairs) stay in the first-level cache.
    constexpr std::size_t block = 1024;
    constexpr std::size_t reach = L / 2 - 1;
    alignas(64) std::array<float, 2 * (block + reach)> z;
    for (std::size_t begin = 0; begin < count; begin += block) {
      // A last block shorter than a register starts early instead,
      // recomputing a few pairs with the same operations.
      const std::size_t first = std::min(begin, count - kLanes / 2);
      const std::size_t pairs = std::min(block, count - first);
      for (std::size_t i = 0; i < pairs + reach; ++i) {
        z[2 * i] = approx[first + i];
        z[2 * i + 1] = static_cast<float>(details[first + i]) * step;
      }
      interleaved_block<L>(z.data(), pairs, taps.data(), map, out + 2 * first);
    }
  }

  template <std::size_t L>
  [[gnu::target(RIMBLE_VECTOR_TARGET)]] static void forward(
      const float* x, std::size_t count, const float* low, const float* high, std::size_t taps, float* approx,
      float* details) {
    if (count < kLanes) {
      PortableKernels<float>::forward<0>(x, count, low, high, L != 0 ? L : taps, approx, details);
      return;
    }
    std::size_t i = 0;
    for (; i + 2 * kLanes <= count; i += 2 * kLanes) {
      forward_registers<L, 2>(x + 2 * i, low, high, taps, approx + i, details + i);
    }
    if (i + kLanes <= count) {
      forward_registers<L, 1>(x + 2 * i, low, high, taps, approx + i, details + i);
      i += kLanes;
    }
    // The last few outputs: one register ending at the last output. It overlaps
    // outputs already written and recomputes them with the same operations, so
    // they keep their values.
    if (i < count) {
      const std::size_t last = count - kLanes;
      forward_registers<L, 1>(x + 2 * last, low, high, taps, approx + last, details + last);
    }
  }

  template <std::size_t L>
  [[gnu::target(RIMBLE_VECTOR_TARGET)]] static void inverse(
      const float* approx, const float* details, std::size_t count, const float* low, const float* high,
      std::size_t taps, float* out) {
    if (count < kLanes) {
      PortableKernels<float>::inverse<0>(approx, details, count, low, high, L != 0 ? L : taps, out);
      return;
    }
    // The inverse adds into the output, so a register that overlaps finished
    // samples must not run after them: the last register is computed from the
    // untouched output first and stored at the end.
    const std::size_t last = count - kLanes;
    reg tail[2];
    inverse_registers<L, 1>(approx + last, details + last, low, high, taps, out + 2 * last, tail);
    std::size_t m = 0;
    for (; m + 2 * kLanes <= last; m += 2 * kLanes) {
      reg sums[4];
      inverse_registers<L, 2>(approx + m, details + m, low, high, taps, out + 2 * m, sums);
      store_registers(out + 2 * m, sums);
    }
    for (; m < last; m += kLanes) {
      reg sums[2];
      inverse_registers<L, 1>(approx + m, details + m, low, high, taps, out + 2 * m, sums);
      store_registers(out + 2 * m, sums);
    }
    store_registers(out + 2 * last, tail);
  }
};

}  // namespace

// The loops of a tier on its registers, specialised in the tier's own file only, where its
// kernels below are instantiated.
template <ProcessorTier tier>
struct TierLoops;

// The kernels run the loops of their tier for every length its executors use: L = 0 (the n-tap
// executor) and the lengths up to its longest. The other instantiations are empty: no executor
// of the tier has them (FixedTapsFilterBank refuses longer filters, and the n-tap executor has no
// quantised inverse).
template <ProcessorTier tier>
template <std::size_t L>
void VectorKernels<tier>::forward(const float* x, std::size_t count, const float* low, const float* high,
                                  std::size_t taps, float* approx, float* details) {
  if constexpr (L <= max_fixed_taps) TierLoops<tier>::template forward<L>(x, count, low, high, taps, approx, details);
}

template <ProcessorTier tier>
template <std::size_t L>
void VectorKernels<tier>::inverse(const float* approx, const float* details, std::size_t count, const float* low,
                                  const float* high, std::size_t taps, float* out) {
  if constexpr (L <= max_fixed_taps) TierLoops<tier>::template inverse<L>(approx, details, count, low, high, taps, out);
}

template <ProcessorTier tier>
template <std::size_t L>
void VectorKernels<tier>::inverse_quantised(const float* approx, const std::int16_t* details, float step,
                                            std::size_t count, const float* low, const float* high, float* out,
                                            const OutputMap<float>& map) {
  if constexpr (L != 0 && L <= max_fixed_taps) {
    TierLoops<tier>::template inverse_quantised<L>(approx, details, step, count, low, high, out, map);
  }
}

// The kernels of a tier for L taps.
#define RIMBLE_INSTANTIATE_KERNELS(L, tier)                                                                       \
  template void VectorKernels<tier>::forward<L>(const float*, std::size_t, const float*, const float*, std::size_t, \
                                                float*, float*);                                                   \
  template void VectorKernels<tier>::inverse<L>(const float*, const float*, std::size_t, const float*, const float*, \
                                                std::size_t, float*);                                              \
  template void VectorKernels<tier>::inverse_quantised<L>(const float*, const std::int16_t*, float, std::size_t,    \
                                                          const float*, const float*, float*, const OutputMap<float>&);

// The kernels of a tier for every length of RIMBLE_FIXED_TAPS and for any length (L = 0).
#define RIMBLE_INSTANTIATE_VECTOR_KERNELS(tier) \
  RIMBLE_FIXED_TAPS(RIMBLE_INSTANTIATE_KERNELS, tier) RIMBLE_INSTANTIATE_KERNELS(0, tier)

}  // namespace rimble
