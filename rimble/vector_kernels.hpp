// rimble/vector_kernels.hpp: the polyphase filter-bank loops of every vector tier, written once
// over a register type.
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
// A tier supplies the register type R:
//   reg, kLanes; zero(), broadcast(x), load(p), store(p, v), add(a, b), multiply(a, b);
//   tap_pair(f): f[0], f[1] repeated over the register;
//   multiply_add(a, b, sum): sum + a b (fused or not, as the tier rounds);
//   hold(v): keeps v in a register (no-op where the compiler does so anyway);
//   add_pairs(a, b): the sums of adjacent lanes of a, then of b, in lane order;
//   repeat_low(v), repeat_high(v): each lane of the low / high half of every
//     128-bit group doubled in place;
//   join_first(f, s), join_second(f, s): the output registers in memory order
//     from the registers built from repeat_low (f) and repeat_high (s).
// Bands shorter than one register run on the portable kernels.
//
// GCC inlines a function with a target attribute only into one with the same
// target, so the loops carry the tier's attribute too: a tier's file defines
// RIMBLE_VECTOR_TARGET before including this header, and everything here has
// internal linkage, so each tier compiles its own copy for its own target.
#pragma once

#ifndef RIMBLE_VECTOR_TARGET
#error "define RIMBLE_VECTOR_TARGET (the tier's target attribute) before including rimble/vector_kernels.hpp"
#endif

#include <cstddef>

#include "rimble/records.hpp"
#include "rimble/wavelet_n_taps.hpp"

namespace rimble {
namespace {

template <class R>
struct VectorKernels {
  using sample_type = float;
  using reg = typename R::reg;
  static constexpr std::size_t kLanes = R::kLanes;

  // How a register of output sums becomes what is stored at `at`: added to
  // what the output holds, or put through an output map over whatever it
  // holds (rounded as OutputMap rounds, so the samples are those of adding
  // into zeros and mapping after).
  struct AddInto {
    [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] reg finish(const float* at, reg sums) const {
      return R::add(R::load(at), sums);
    }
  };
  struct MapOnto {
    reg shift, scale, offset;
    [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] reg finish(const float* /*at*/, reg sums) const {
      return R::add(R::multiply(R::add(sums, shift), scale), offset);
    }
  };

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
    for (std::size_t r = 0; r < 2 * B; ++r) low_sums[r] = high_sums[r] = R::zero();
    const std::size_t pairs = tap_pairs<L>(taps);
    #pragma GCC unroll 16
    for (std::size_t k = 0; k < pairs; ++k) {
      const reg low_pair = R::tap_pair(low + 2 * k);
      const reg high_pair = R::tap_pair(high + 2 * k);
      #pragma GCC unroll 16
      for (std::size_t r = 0; r < 2 * B; ++r) {
        reg samples = R::load(x + kLanes * r + 2 * k);
        R::hold(samples);
        low_sums[r] = R::multiply_add(low_pair, samples, low_sums[r]);
        high_sums[r] = R::multiply_add(high_pair, samples, high_sums[r]);
      }
    }
    #pragma GCC unroll 16
    for (std::size_t b = 0; b < B; ++b) {
      R::store(approx + kLanes * b, R::add_pairs(low_sums[2 * b], low_sums[2 * b + 1]));
      R::store(details + kLanes * b, R::add_pairs(high_sums[2 * b], high_sums[2 * b + 1]));
    }
  }

  // The contributions of the coefficient pairs m-h .. m + kLanes B - 1 (a and
  // d point at coefficient m) to out[2m .. 2m + 2 kLanes B), finished with
  // what is at out, into sums[2b] (out + 2 kLanes b) and sums[2b+1]
  // (out + 2 kLanes b + kLanes), unstored. The B blocks share the tap pairs.
  template <std::size_t L, std::size_t B, class Finish>
  [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static void inverse_registers(
      const float* a, const float* d, const float* low, const float* high, std::size_t taps, const float* out,
      const Finish& finish, reg (&sums)[2 * B]) {
    reg approx_first[B], approx_second[B], detail_first[B], detail_second[B];
    #pragma GCC unroll 16
    for (std::size_t b = 0; b < B; ++b) {
      approx_first[b] = approx_second[b] = detail_first[b] = detail_second[b] = R::zero();
    }
    const std::size_t pairs = tap_pairs<L>(taps);
    #pragma GCC unroll 16
    for (std::size_t q = 0; q < pairs; ++q) {
      const std::size_t offset = pairs - 1 - q;
      const reg low_pair = R::tap_pair(low + 2 * q);
      const reg high_pair = R::tap_pair(high + 2 * q);
      #pragma GCC unroll 16
      for (std::size_t b = 0; b < B; ++b) {
        const reg approx = R::load(a + kLanes * b + offset);
        const reg detail = R::load(d + kLanes * b + offset);
        approx_first[b] = R::multiply_add(low_pair, R::repeat_low(approx), approx_first[b]);
        approx_second[b] = R::multiply_add(low_pair, R::repeat_high(approx), approx_second[b]);
        detail_first[b] = R::multiply_add(high_pair, R::repeat_low(detail), detail_first[b]);
        detail_second[b] = R::multiply_add(high_pair, R::repeat_high(detail), detail_second[b]);
      }
    }
    #pragma GCC unroll 16
    for (std::size_t b = 0; b < B; ++b) {
      const reg mixed_first = R::add(approx_first[b], detail_first[b]);
      const reg mixed_second = R::add(approx_second[b], detail_second[b]);
      const float* base = out + 2 * kLanes * b;
      sums[2 * b] = finish.finish(base, R::join_first(mixed_first, mixed_second));
      sums[2 * b + 1] = finish.finish(base + kLanes, R::join_second(mixed_first, mixed_second));
    }
  }

  template <std::size_t N>
  [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static void store_registers(float* out,
                                                                                        const reg (&sums)[N]) {
    #pragma GCC unroll 16
    for (std::size_t r = 0; r < N; ++r) R::store(out + kLanes * r, sums[r]);
  }

  template <std::size_t L>
  [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static void forward(
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

  // Adds the level into out, or with `map` writes the mapped sums over it.
  template <std::size_t L>
  [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static void inverse(
      const float* approx, const float* details, std::size_t count, const float* low, const float* high,
      std::size_t taps, float* out, const OutputMap<float>* map) {
    if (count < kLanes) {
      PortableKernels<float>::inverse<0>(approx, details, count, low, high, L != 0 ? L : taps, out, map);
    } else if (map != nullptr) {
      const MapOnto onto{R::broadcast(map->shift), R::broadcast(map->scale), R::broadcast(map->offset)};
      inverse_loop<L>(approx, details, count, low, high, taps, out, onto);
    } else {
      inverse_loop<L>(approx, details, count, low, high, taps, out, AddInto{});
    }
  }

  template <std::size_t L, class Finish>
  [[gnu::target(RIMBLE_VECTOR_TARGET), gnu::always_inline]] static void inverse_loop(
      const float* approx, const float* details, std::size_t count, const float* low, const float* high,
      std::size_t taps, float* out, const Finish& finish) {
    // Adding into the output, a register that overlaps finished samples must
    // not run after them: the last register is computed from the untouched
    // output first and stored at the end.
    const std::size_t last = count - kLanes;
    reg tail[2];
    inverse_registers<L, 1>(approx + last, details + last, low, high, taps, out + 2 * last, finish, tail);
    std::size_t m = 0;
    for (; m + 2 * kLanes <= last; m += 2 * kLanes) {
      reg sums[4];
      inverse_registers<L, 2>(approx + m, details + m, low, high, taps, out + 2 * m, finish, sums);
      store_registers(out + 2 * m, sums);
    }
    for (; m < last; m += kLanes) {
      reg sums[2];
      inverse_registers<L, 1>(approx + m, details + m, low, high, taps, out + 2 * m, finish, sums);
      store_registers(out + 2 * m, sums);
    }
    store_registers(out + 2 * last, tail);
  }
};

}  // namespace
}  // namespace rimble
