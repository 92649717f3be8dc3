// codec/sequence/predictors.cpp: residuals and reconstruction of the integer predictors, and the LPC fit.
#include "codec/sequence/predictors.hpp"

#include "codec/sequence/cascade.hpp"
#include "codec/sequence/rans.hpp"
#include "codec/sequence/kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <type_traits>
#include <vector>

namespace quorvel::sequence {

namespace {

using u32 = std::uint32_t;
using i64 = std::int64_t;

constexpr int kLpcPrecision = 14;
constexpr std::size_t kSegmentCap = kSegmentLength;  // the longest segment a predictor sees


// Fixed predictor of order min(k, n) at block position n (differences need k earlier samples).
std::int32_t fixed_prediction(const std::int32_t* q, std::size_t n, int k) {
  const u32 a = n >= 1 ? static_cast<u32>(q[n - 1]) : 0, b = n >= 2 ? static_cast<u32>(q[n - 2]) : 0,
            c = n >= 3 ? static_cast<u32>(q[n - 3]) : 0;
  switch (std::min<std::size_t>(static_cast<std::size_t>(k), n)) {
    case 0: return 0;
    case 1: return static_cast<std::int32_t>(a);
    case 2: return static_cast<std::int32_t>(2 * a - b);
    default: return static_cast<std::int32_t>(3 * a - 3 * b + c);
  }
}

std::int32_t lpc_prediction(const std::int32_t* q, std::size_t n, const PredictorChoice& choice) {
  if (n < static_cast<std::size_t>(choice.order)) return n ? q[n - 1] : 0;
  i64 sum = 0;
  for (int i = 0; i < choice.order; ++i) sum += i64{choice.coefficients[i]} * q[n - 1 - static_cast<std::size_t>(i)];
  return wrap(sum >> choice.shift);
}

// The interpolation order of a segment of n samples: sample 0, then for each stride from the largest
// power of two below n down to 1, the odd multiples of the stride. Calls body(i, stride, at, inner) with
// `inner` a compile-time flag: the four neighbours at the stride are all inside the segment (the first and
// last few of each level are not), so that the loop over those has no branch.
template <class Body>
void for_each_interpolated(std::size_t n, Body&& body) {
  std::size_t at = 1;
  for (std::size_t stride = n > 1 ? std::bit_floor(n - 1) : 0; stride >= 1; stride >>= 1) {
    std::size_t i = stride;
    for (; i < n && (i < 3 * stride || i + 3 * stride >= n); i += 2 * stride) body(i, stride, at++, std::false_type{});
    for (; i + 3 * stride < n; i += 2 * stride) body(i, stride, at++, std::true_type{});
    for (; i < n; i += 2 * stride) body(i, stride, at++, std::false_type{});
  }
}

// Prediction of x[i] from the samples at the level's stride around it (x is the segment).
template <bool Inner>
std::int32_t interpolated(const std::int32_t* x, std::size_t n, std::size_t i, std::size_t stride,
                          std::bool_constant<Inner>) {
  const i64 left = x[i - stride];
  if (!Inner && i + stride >= n) return static_cast<std::int32_t>(left);
  const i64 right = x[i + stride];
  if (Inner || (i >= 3 * stride && i + 3 * stride < n))
    return wrap((9 * (left + right) - x[i - 3 * stride] - x[i + 3 * stride] + 8) >> 4);
  return wrap((left + right + 1) >> 1);
}

// The sign-LMS stage of a segment, on its first differences d: at sample i the weights w_k (k < taps, zero
// at the segment start) first move by sign(r[i - 1]) * step * sign(d[i - 2 - k]), then the stage predicts
// wrap((sum_k w_k d[i - 1 - k]) >> 8) and r[i] = d[i] - prediction. The differences live in a window after
// the kBefore before the segment, with step * sign(d) beside them.
class LmsStage {
 public:
  static constexpr std::ptrdiff_t kBefore = kMaxLmsTaps + 1;  // the weights' move looks one difference further back

  // `before`: the differences before the segment, oldest first.
  LmsStage(const std::array<std::int32_t, kBefore>& before, int step) : step_(step) {
    for (std::ptrdiff_t k = 0; k < kBefore; ++k) set(k - kBefore, before[static_cast<std::size_t>(k)]);
  }

  // Forward: d in, residuals out. Inverse: residuals in, differences out.
  template <int Taps, bool Inverse>
  void run(const std::int32_t* in, std::size_t n, std::int32_t* out) {
    std::array<i64, Taps> weights{};
    int direction = 0;  // the sign of the residual before
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
      const std::int32_t prediction = wrap(sum<Taps>(weights, i, direction) >> kLmsShift);
      const std::int32_t residual = Inverse ? in[i] : minus(in[i], prediction);
      set(i, Inverse ? plus(in[i], prediction) : in[i]);
      out[i] = Inverse ? at(i) : residual;
      direction = (residual > 0) - (residual < 0);
    }
  }

  template <bool Inverse>
  void run(int taps, const std::int32_t* in, std::size_t n, std::int32_t* out) {
    switch (taps) {
      case 2: return run<2, Inverse>(in, n, out);
      case 4: return run<4, Inverse>(in, n, out);
      case 8: return run<8, Inverse>(in, n, out);
      default: return run<16, Inverse>(in, n, out);
    }
  }

 private:
  std::int32_t at(std::ptrdiff_t i) const { return differences_[static_cast<std::size_t>(i + kBefore)]; }
  void set(std::ptrdiff_t i, std::int32_t difference) {
    differences_[static_cast<std::size_t>(i + kBefore)] = difference;
    steps_[static_cast<std::size_t>(i + kBefore)] = ((difference > 0) - (difference < 0)) * step_;
  }

  // The weights' moves and the older products come first: they do not wait for the newest difference, which
  // is the one term the decoder's next sample waits for.
  template <int Taps>
  [[gnu::always_inline]] i64 sum(std::array<i64, Taps>& weights, std::ptrdiff_t i, int direction) const {
    const std::int32_t* d = differences_.data() + kBefore + i;
    const std::int32_t* s = steps_.data() + kBefore + i;
#pragma GCC unroll 16
    for (int k = 0; k < Taps; ++k) weights[k] += direction * s[-2 - k];
    i64 older = 0;
#pragma GCC unroll 16
    for (int k = 1; k < Taps; ++k) older += weights[k] * d[-1 - k];
    return older + weights[0] * d[-1];
  }

  std::array<std::int32_t, kSegmentCap + kBefore> differences_;  // only what is written is read
  std::array<std::int32_t, kSegmentCap + kBefore> steps_;
  int step_;
};

constexpr std::array<std::int32_t, LmsStage::kBefore> kNoHistory{};

// The block's first differences before a segment start, oldest first (zeros before the block).
std::array<std::int32_t, LmsStage::kBefore> history_before(const std::int32_t* x, std::size_t start) {
  std::array<std::int32_t, LmsStage::kBefore> before{};
  for (std::ptrdiff_t k = 1; k <= LmsStage::kBefore && static_cast<std::size_t>(k) <= start; ++k) {
    const std::size_t at = start - static_cast<std::size_t>(k);
    before[static_cast<std::size_t>(LmsStage::kBefore - k)] = minus(x[at], fixed_prediction(x, at, 1));
  }
  return before;
}

void predict_lms(const std::int32_t* x, std::size_t start, std::size_t end, const PredictorChoice& choice,
                 std::int32_t* r) {
  std::array<std::int32_t, kSegmentCap> d;
  differences_of(x, start, end, d.data());
  LmsStage stage(choice.kind == Predictor::sign_lms ? history_before(x, start) : kNoHistory, choice.step);
  stage.run<false>(choice.taps, d.data(), end - start, r);
}

void reconstruct_lms(std::int32_t* x, std::size_t start, std::size_t end, const PredictorChoice& choice,
                     const std::int32_t* r) {
  std::array<std::int32_t, kSegmentCap> d;
  LmsStage stage(choice.kind == Predictor::sign_lms ? history_before(x, start) : kNoHistory, choice.step);
  stage.run<true>(choice.taps, r, end - start, d.data());
  running_sum(d.data(), end - start, start ? x[start - 1] : 0, x + start);
}

// Residuals of the fixed predictor of order k: the first k samples of a block use lower orders.
void predict_fixed(const std::int32_t* x, std::size_t start, std::size_t end, int k, std::int32_t* r) {
  std::size_t n = start;
  for (; n < end && n < static_cast<std::size_t>(k); ++n) r[n - start] = minus(x[n], fixed_prediction(x, n, k));
  const auto* q = reinterpret_cast<const u32*>(x);
  auto* out = reinterpret_cast<u32*>(r) - start;
  if (k == 1)
    for (; n < end; ++n) out[n] = q[n] - q[n - 1];
  else if (k == 2)
    for (; n < end; ++n) out[n] = q[n] - 2 * q[n - 1] + q[n - 2];
  else
    for (; n < end; ++n) out[n] = q[n] - 3 * q[n - 1] + 3 * q[n - 2] - q[n - 3];
}

// Its inverse as k running sums, each a pass of the tier's kernel (in place after the first): the k-th
// differences are summed into the (k-1)-th, and so on down to the codes, modulo 2^32 as the recurrence.
void reconstruct_fixed(std::int32_t* x, std::size_t start, std::size_t end, int k, const std::int32_t* r) {
  std::size_t n = start;
  for (; n < end && n < static_cast<std::size_t>(k); ++n) x[n] = plus(r[n - start], fixed_prediction(x, n, k));
  if (n == end) return;
  // The last code before n and its differences of order 1 and 2: where each sum starts.
  const std::int32_t a = x[n - 1];
  const std::int32_t d = k >= 2 ? minus(a, x[n - 2]) : 0;
  const std::int32_t e = k >= 3 ? minus(d, minus(x[n - 2], x[n - 3])) : 0;
  const std::int32_t starts[3] = {a, d, e};
  const auto sum = kernels().running_sum;
  const std::int32_t* in = r + (n - start);
  for (int order = k; order >= 1; --order) {
    sum(in, end - n, starts[order - 1], x + n);
    in = x + n;
  }
}

void predict_lpc(const std::int32_t* x, std::size_t start, std::size_t end, const PredictorChoice& choice, std::int32_t* r) {
  std::size_t n = start;
  for (; n < end && n < static_cast<std::size_t>(choice.order); ++n) r[n - start] = minus(x[n], lpc_prediction(x, n, choice));
  kernels().lpc_residuals(x, n, end, choice.coefficients.data(), choice.order, choice.shift, r + (n - start));
}

// The recurrence with the last Order codes in locals, newest first. The newest one's product is added
// last, so the sum of the older ones is ready before it: the chain from one code to the next is one
// multiply, two adds and a shift.
template <int Order>
void reconstruct_lpc_order(std::int32_t* x, std::size_t n, std::size_t end, const PredictorChoice& choice,
                           const std::int32_t* r) {
  std::array<i64, Order> c, h;
  for (int i = 0; i < Order; ++i) {
    c[i] = choice.coefficients[i];
    h[i] = x[n - 1 - static_cast<std::size_t>(i)];
  }
  const int shift = choice.shift;
  for (; n < end; ++n) {
    i64 older = 0;
    for (int i = Order - 1; i >= 1; --i) older += c[i] * h[i];
    const std::int32_t value = plus(*r++, wrap((older + c[0] * h[0]) >> shift));
    for (int i = Order - 1; i >= 1; --i) h[i] = h[i - 1];
    h[0] = value;
    x[n] = value;
  }
}

void reconstruct_lpc_any(std::int32_t* x, std::size_t n, std::size_t end, const PredictorChoice& choice,
                         const std::int32_t* r) {
  for (; n < end; ++n) x[n] = plus(*r++, lpc_prediction(x, n, choice));
}

void reconstruct_lpc(std::int32_t* x, std::size_t start, std::size_t end, const PredictorChoice& choice,
                     const std::int32_t* r) {
  std::size_t n = start;
  for (; n < end && n < static_cast<std::size_t>(choice.order); ++n) x[n] = plus(r[n - start], lpc_prediction(x, n, choice));
  if (n == end) return;  // a block shorter than the order: the recurrences below would load codes before it
  r += n - start;
  switch (choice.order) {
    case 2: return reconstruct_lpc_order<2>(x, n, end, choice, r);
    case 4: return reconstruct_lpc_order<4>(x, n, end, choice, r);
    case 8: return reconstruct_lpc_order<8>(x, n, end, choice, r);
    case 12: return reconstruct_lpc_order<12>(x, n, end, choice, r);
    case 16: return reconstruct_lpc_order<16>(x, n, end, choice, r);
    case 20: return reconstruct_lpc_order<20>(x, n, end, choice, r);
    case 24: return reconstruct_lpc_order<24>(x, n, end, choice, r);
    case 32: return reconstruct_lpc_order<32>(x, n, end, choice, r);
    default: return reconstruct_lpc_any(x, n, end, choice, r);
  }
}

// The cascade of a segment runs over the codes before it too: from the block's start.
void predict_cascade(const std::int32_t* x, std::size_t start, std::size_t end, std::int32_t* r) {
  Cascade cascade;
  std::vector<std::int32_t> before(start);
  cascade.forward(x, start, before.data());
  cascade.forward(x + start, end - start, r);
}

void reconstruct_cascade(std::int32_t* x, std::size_t start, std::size_t end, const std::int32_t* r) {
  Cascade cascade;
  std::vector<std::int32_t> before(start);
  cascade.forward(x, start, before.data());
  cascade.inverse(r, end - start, x + start);
}

}  // namespace

int PredictorChoice::head_bits() const {
  if (kind == Predictor::sign_lms_local) return 3 + 2 + 2;
  if (kind == Predictor::cascade) return 3 + 5 + 4;
  if (kind != Predictor::lpc) return 3;
  int width = 1;
  for (int i = 0; i < order; ++i) {
    const auto magnitude = static_cast<u32>(coefficients[i] < 0 ? ~coefficients[i] : coefficients[i]);
    width = std::max(width, 1 + static_cast<int>(std::bit_width(magnitude)));
  }
  return 3 + 5 + 4 + 4 + order * width;
}

void write_predictor(BitWriter& out, const PredictorChoice& choice) {
  if (static_cast<int>(choice.kind) >= kPredictorKinds) {
    out.put(static_cast<u32>(Predictor::lpc), 3);
    out.put(static_cast<u32>(static_cast<int>(choice.kind) - kPredictorKinds), 5);
    out.put(kExtendedKindShift, 4);
    return;
  }
  out.put(static_cast<u32>(choice.kind), 3);
  if (choice.kind == Predictor::sign_lms_local) {
    out.put(static_cast<u32>(std::countr_zero(static_cast<u32>(choice.taps)) - 1), 2);
    out.put(static_cast<u32>(std::countr_zero(static_cast<u32>(choice.step))), 2);
  }
  if (choice.kind != Predictor::lpc) return;
  const int width = (choice.head_bits() - 16) / choice.order;
  out.put(static_cast<u32>(choice.order - 1), 5);
  out.put(static_cast<u32>(choice.shift), 4);
  out.put(static_cast<u32>(width - 1), 4);
  for (int i = 0; i < choice.order; ++i) out.put(static_cast<u32>(choice.coefficients[i]), width);
}

bool read_predictor(BitReader& in, PredictorChoice& choice) {
  choice = PredictorChoice{};
  const u32 kind = in.get(3);
  if (kind >= kPredictorKinds) return false;
  choice.kind = static_cast<Predictor>(kind);
  if (choice.kind == Predictor::sign_lms_local) {
    choice.taps = 2 << in.get(2);
    choice.step = 1 << in.get(2);
  }
  if (choice.kind != Predictor::lpc) return in.ok();
  choice.order = static_cast<int>(in.get(5)) + 1;
  choice.shift = static_cast<int>(in.get(4));
  if (choice.shift == kExtendedKindShift) {
    if (choice.order > kExtendedKinds) return false;
    choice = PredictorChoice{.kind = static_cast<Predictor>(kPredictorKinds + choice.order - 1)};
    return in.ok();
  }
  const int width = static_cast<int>(in.get(4)) + 1;
  for (int i = 0; i < choice.order; ++i) {
    const u32 bits = in.get(width);
    // Sign-extend the width-bit field.
    choice.coefficients[i] = static_cast<std::int32_t>(bits << (32 - width)) >> (32 - width);
  }
  return in.ok();
}

void predict(std::span<const std::int32_t> q, std::size_t start, std::size_t end, const PredictorChoice& choice,
             std::span<std::int32_t> r) {
  const std::int32_t* x = q.data();
  switch (choice.kind) {
    case Predictor::identity:
      std::copy(x + start, x + end, r.begin());
      return;
    case Predictor::diff1:
    case Predictor::diff2:
    case Predictor::diff3:
      predict_fixed(x, start, end, static_cast<int>(choice.kind), r.data());
      return;
    case Predictor::lpc:
      predict_lpc(x, start, end, choice, r.data());
      return;
    case Predictor::interpolation: {
      const std::int32_t* s = x + start;
      r[0] = minus(s[0], start ? x[start - 1] : 0);
      for_each_interpolated(end - start, [&](std::size_t i, std::size_t stride, std::size_t at, auto inner) {
        r[at] = minus(s[i], interpolated(s, end - start, i, stride, inner));
      });
      return;
    }
    case Predictor::sign_lms:
    case Predictor::sign_lms_local:
      predict_lms(x, start, end, choice, r.data());
      return;
    case Predictor::cascade:
      predict_cascade(x, start, end, r.data());
      return;
  }
}

void reconstruct(std::span<std::int32_t> q, std::size_t start, std::size_t end, const PredictorChoice& choice,
                 std::span<const std::int32_t> r) {
  std::int32_t* x = q.data();
  switch (choice.kind) {
    case Predictor::identity:
      std::copy(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(end - start), x + start);
      return;
    case Predictor::diff1:
    case Predictor::diff2:
    case Predictor::diff3:
      reconstruct_fixed(x, start, end, static_cast<int>(choice.kind), r.data());
      return;
    case Predictor::lpc:
      reconstruct_lpc(x, start, end, choice, r.data());
      return;
    case Predictor::interpolation: {
      std::int32_t* s = x + start;
      s[0] = plus(r[0], start ? x[start - 1] : 0);
      for_each_interpolated(end - start, [&](std::size_t i, std::size_t stride, std::size_t at, auto inner) {
        s[i] = plus(r[at], interpolated(s, end - start, i, stride, inner));
      });
      return;
    }
    case Predictor::sign_lms:
    case Predictor::sign_lms_local:
      reconstruct_lms(x, start, end, choice, r.data());
      return;
    case Predictor::cascade:
      reconstruct_cascade(x, start, end, r.data());
      return;
  }
}

PredictorChoice fit_lpc(std::span<const std::int32_t> q, std::size_t start, std::size_t end, int order) {
  PredictorChoice choice{.kind = Predictor::lpc, .order = order};
  const std::size_t n = end - start;
  // Autocorrelation of the codes less their first value, scaled down to 20 bits if they are larger: every
  // product and partial sum is then an integer below 2^53, exact in doubles in any order, so every
  // processor fits the same coefficients.
  std::int32_t low = q[start], high = q[start];
  for (std::size_t i = start; i < end; ++i) {
    low = std::min(low, q[i]);
    high = std::max(high, q[i]);
  }
  const i64 first = q[start], largest = std::max(i64{high} - first, first - i64{low});
  const int scale = std::max(0, static_cast<int>(std::bit_width(static_cast<std::uint64_t>(largest))) - 20);
  // A Welch window tapers the segment's ends: without it the autocorrelation sees a jump to zero at both
  // ends, which caps the prediction gain of tonal signals (a piano recording: 40 % more residual bits).
  // The windowed values are rounded to integers so that the sums stay exact.
  std::array<double, kSegmentCap> z;
  kernels().welch_window(q.data() + start, n, q[start], scale, z.data());
  std::array<double, kMaxLpcOrder + 1> ac{};
  kernels().autocorrelation(z.data(), n, order, ac.data());
  if (ac[0] <= 0) {
    choice.order = 1;  // a constant segment: predict the last sample
    choice.coefficients[0] = 1;
    return choice;
  }
  ac[0] *= 1.0 + 1e-9;
  std::array<double, kMaxLpcOrder> a{}, previous{};
  double error = ac[0];
  for (int i = 0; i < order; ++i) {
    double dot = 0;
    for (int j = 0; j < i; ++j) dot += a[j] * ac[i - j];
    const double k = (ac[i + 1] - dot) / error;
    if (!std::isfinite(k) || !(std::abs(k) < 1)) break;  // numerically singular: keep the lower order
    previous = a;
    for (int j = 0; j < i; ++j) a[j] = previous[j] - k * previous[i - 1 - j];
    a[i] = k;
    error *= 1 - k * k;
  }
  // The finest shift (at most kLpcPrecision) at which every coefficient fits 16 bits.
  double largest_coefficient = 0;
  for (int i = 0; i < order; ++i) largest_coefficient = std::max(largest_coefficient, std::abs(a[i]));
  int shift = kLpcPrecision;
  while (shift > 0 && std::nearbyint(largest_coefficient * double(1 << shift)) >= 32768.0) --shift;
  choice.shift = shift;
  for (int i = 0; i < order; ++i)
    choice.coefficients[i] = static_cast<std::int32_t>(std::clamp(std::nearbyint(a[i] * double(1 << shift)), -32768.0, 32767.0));
  return choice;
}

void differences_of(const std::int32_t* x, std::size_t start, std::size_t end, std::int32_t* d) {
  if (start == end) return;
  d[0] = minus(x[start], start ? x[start - 1] : 0);
  const auto* q = reinterpret_cast<const u32*>(x);
  auto* out = reinterpret_cast<u32*>(d) - start;
  for (std::size_t i = start + 1; i < end; ++i) out[i] = q[i] - q[i - 1];
}

void lms_lanes(std::span<const LmsLane> lanes, bool inverse) {
  for (const LmsLane& lane : lanes) {
    LmsStage stage(kNoHistory, lane.step);
    if (inverse)
      stage.run<true>(lane.taps, lane.in, lane.n, lane.out);
    else
      stage.run<false>(lane.taps, lane.in, lane.n, lane.out);
  }
}

void add_local_lms_lanes(std::span<const PredictorChoice> stages, const std::int32_t* in, std::int32_t* out,
                         std::size_t n, std::vector<LmsLane>& lanes) {
  for (std::size_t s = 0; s < stages.size(); ++s) {
    if (stages[s].kind != Predictor::sign_lms_local) continue;
    const std::size_t start = s * kSegmentLength;
    lanes.push_back({.in = in + start, .out = out + start, .n = std::min(kSegmentLength, n - start),
                     .taps = stages[s].taps, .step = stages[s].step});
  }
}

void run_lms_lanes(std::span<LmsLane> lanes, bool inverse) {
  // Lanes of equal taps together: a batch runs at the largest taps among its lanes. (Each lane's values
  // are its own, whatever the order.)
  std::ranges::sort(lanes, {}, &LmsLane::taps);
  const auto run = kernels().lms_lanes;
  // The forward stages wait on their sums longer than the inverse ones: they need four registers of lanes
  // side by side to keep the processor busy, the inverse two.
  const std::size_t batch = inverse ? kLmsLanes / 2 : kLmsLanes;
  for (std::size_t first = 0; first < lanes.size(); first += batch)
    run(lanes.subspan(first, std::min(batch, lanes.size() - first)), inverse);
}

}  // namespace quorvel::sequence
