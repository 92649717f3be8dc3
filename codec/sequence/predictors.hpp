// codec/sequence/predictors.hpp: the integer predictors of the sequence coder, their residuals and their inverses.
//
// Each segment of a block has its own predictor. Predictions are computed in 64-bit integers from the
// codes before them in the block (zeros before the block's start: the first samples use a lower order),
// and residuals and codes wrap modulo 2^32, so every int32 sequence comes back exactly on every processor.
//   identity       r = q (for callers that made residuals themselves)
//   diff1..diff3   first, second, third differences
//   lpc            (sum c_i q[n-i]) >> shift, c_i 16-bit integers from Levinson-Durbin on the segment;
//                  the first `order` samples of a block use first differences
//   interpolation  the segment level by level, coarsest first: every sample from its neighbours at the
//                  level's stride (cubic (-1, 9, 9, -1)/16 where four are known, else their mean, else the
//                  left one); its residuals are stored in that order
//   sign_lms       first differences, then an 8-tap sign-sign LMS stage on them (weights start at zero in
//                  each segment and move by 2 / 256 per sample; the block's differences before the segment
//                  are its first history)
//   sign_lms_local the same with 2, 4, 8 or 16 taps and a step of 1, 2, 4 or 8 / 256, named in the head, and
//                  zeros as its history: the stages of a block's segments are independent, and run side by
//                  side (sequence_kernels.hpp)
//   cascade        first differences through a chain of adaptive stages that runs from the block's start
//                  (codec/sequence/cascade.hpp); its head is an LPC head whose shift field is 15 (below)
//   periodic       first differences d predicted from the `order` before them and from the three around one
//                  period P back: (sum c_j d[n-j] + g_0 d[n-P+1] + g_1 d[n-P] + g_2 d[n-P-1]) >> shift,
//                  for series with a daily or weekly cycle (demand, irradiance) or a steady beat
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/sequence/bit_io.hpp"
#include "codec/sequence/kernels.hpp"

namespace quorvel::sequence {

enum class Predictor : std::uint8_t {
  identity = 0, diff1 = 1, diff2 = 2, diff3 = 3, lpc = 4, interpolation = 5, sign_lms = 6, sign_lms_local = 7,
  cascade = 8, periodic = 9
};
inline constexpr int kPredictorKinds = 8;  // those with a 3-bit kind of their own
// The kinds from 8 on are written as an LPC head whose shift field holds this (an LPC never shifts by 15)
// and whose order field holds kind - 8.
inline constexpr int kExtendedKindShift = 15;
inline constexpr int kExtendedKinds = 2;
inline constexpr int kMaxLpcOrder = 32;
inline constexpr int kPeriodicTaps = 3;  // the periodic predictor's taps around its period
inline constexpr int kMinPeriod = 12;
inline constexpr int kMaxPeriod = 65535;
inline constexpr int kMaxLmsTaps = 16;
inline constexpr int kLmsShift = 8;  // the weights' fraction bits

struct PredictorChoice {
  Predictor kind = Predictor::diff1;
  int order = 0;  // lpc and periodic
  int shift = 0;
  std::array<std::int32_t, kMaxLpcOrder> coefficients{};
  int period = 0;  // periodic only: its cycle and the taps around it, in 2^-shift as the coefficients
  std::array<std::int32_t, kPeriodicTaps> gains{};
  int taps = 8;  // sign-LMS only
  int step = 2;

  // Bits of the head fields.
  [[nodiscard]] int head_bits() const;
};

void write_predictor(BitWriter& out, const PredictorChoice& choice);
[[nodiscard]] bool read_predictor(BitReader& in, PredictorChoice& choice);

// sign_lms_local's outer halves, for callers that run the LMS stages of a block's segments side by side
// (lms_lanes): the first differences of q[start, end) (0 before the block), and codes back from their
// first differences after `previous` (running_sum, codec/sequence/kernels.hpp).
void differences_of(const std::int32_t* x, std::size_t start, std::size_t end, std::int32_t* d);

// The sign-LMS stages of a block's segments (`stages[s]` for segment s, from s * kSegmentLength, n values
// in all), those that are sign_lms_local, as lanes added to `lanes`: forward from first differences `in` to
// residuals `out`, or inverse from residuals to first differences. `out` may be `in`; the other segments'
// values are left as they are. The lanes of several blocks run side by side in one run_lms_lanes (which
// reorders `lanes`).
void add_local_lms_lanes(std::span<const PredictorChoice> stages, const std::int32_t* in, std::int32_t* out,
                         std::size_t n, std::vector<LmsLane>& lanes);
void run_lms_lanes(std::span<LmsLane> lanes, bool inverse);

// The quantised LPC predictor of `order` fitted to the segment q[start, end).
[[nodiscard]] PredictorChoice fit_lpc(std::span<const std::int32_t> q, std::size_t start, std::size_t end, int order);

// The periods (at least kMinPeriod) of the cycles in a block's first differences worth a periodic
// predictor: the shortest about as strong as the strongest, then the strongest if it is another; 0 for
// none (a block too short to show one, or without one).
[[nodiscard]] std::array<int, 2> find_periods(std::span<const std::int32_t> q);

// The quantised periodic predictor of `order` and `period` fitted to the segment q[start, end) by least
// squares on the block's first differences.
[[nodiscard]] PredictorChoice fit_periodic(std::span<const std::int32_t> q, std::size_t start, std::size_t end,
                                           int order, int period);

// Residuals of the segment q[start, end) of a block, in coding order, into r (end - start values).
void predict(std::span<const std::int32_t> q, std::size_t start, std::size_t end, const PredictorChoice& choice,
             std::span<std::int32_t> r);

// The inverse: q[start, end) from its residuals, with q[0, start) already decoded.
void reconstruct(std::span<std::int32_t> q, std::size_t start, std::size_t end, const PredictorChoice& choice,
                 std::span<const std::int32_t> r);

}  // namespace quorvel::sequence
