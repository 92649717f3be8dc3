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
  cascade.catch_up(x, start);
  cascade.forward(x + start, end - start, r);
}

void reconstruct_cascade(std::int32_t* x, std::size_t start, std::size_t end, const std::int32_t* r) {
  Cascade cascade;
  cascade.catch_up(x, start);
  cascade.inverse(r, end - start, x + start);
}

// The first differences of a block from position `from` on (zeros before the block, so that reading them
// needs no branch).
class PeriodicDifferences {
 public:
  PeriodicDifferences(const PredictorChoice& choice, std::size_t start, std::size_t end)
      : from_(static_cast<std::ptrdiff_t>(start) - std::max(choice.period + 1, choice.order)),
        d_(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(end) - from_)) {}

  // The differences of the codes x[0, end) that the segment reads.
  void fill(const std::int32_t* x, std::size_t end) {
    const auto first = static_cast<std::size_t>(std::max<std::ptrdiff_t>(from_, 0));
    if (first < end) differences_of(x, first, end, at(static_cast<std::ptrdiff_t>(first)));
  }
  [[nodiscard]] std::span<const std::int32_t> all() const { return d_; }
  // Where the difference at block position i is kept.
  [[nodiscard]] std::int32_t* at(std::ptrdiff_t i) { return d_.data() + (i - from_); }

 private:
  std::ptrdiff_t from_;
  std::vector<std::int32_t> d_;  // zeros where not filled
};

// The periodic predictor's taps in locals of the segment's loop, where the compiler keeps them in registers
// (read through the choice, they would be loaded again after every store of a difference or residual).
// Order 8, the encoder's, is unrolled; 0 takes any other.
template <int Order>
struct PeriodicTaps {
  explicit PeriodicTaps(const PredictorChoice& choice) : order(Order ? Order : choice.order), period(choice.period), shift(choice.shift) {
    for (int j = 0; j < order; ++j) c[j] = choice.coefficients[j];
    for (int k = 0; k < kPeriodicTaps; ++k) g[k] = choice.gains[k];
  }
  // The prediction of the difference at d from those before it.
  [[nodiscard]] std::int32_t prediction(const std::int32_t* d) const {
    const std::int32_t* cycle = d - period + 1;
    i64 sum = 0;
#pragma GCC unroll 8
    for (int j = 0; j < (Order ? Order : order); ++j) sum += c[j] * d[-1 - j];
    for (int k = 0; k < kPeriodicTaps; ++k) sum += g[k] * cycle[-k];
    return wrap(sum >> shift);
  }

  std::array<i64, kMaxLpcOrder> c{};
  std::array<i64, kPeriodicTaps> g{};
  int order, period, shift;
};

template <int Order>
void predict_periodic(const std::int32_t* x, std::size_t start, std::size_t end, const PredictorChoice& choice,
                      std::int32_t* r) {
  PeriodicDifferences d(choice, start, end);
  d.fill(x, end);
  const PeriodicTaps<Order> taps(choice);
  const std::int32_t* now = d.at(static_cast<std::ptrdiff_t>(start));
  for (std::size_t i = 0; i < end - start; ++i) r[i] = minus(now[i], taps.prediction(now + i));
}

template <int Order>
void reconstruct_periodic(std::int32_t* x, std::size_t start, std::size_t end, const PredictorChoice& choice,
                          const std::int32_t* r) {
  PeriodicDifferences d(choice, start, end);
  d.fill(x, start);
  const PeriodicTaps<Order> taps(choice);
  std::int32_t* now = d.at(static_cast<std::ptrdiff_t>(start));
  std::int32_t last = start ? x[start - 1] : 0;
  for (std::size_t i = 0; i < end - start; ++i) {
    now[i] = plus(r[i], taps.prediction(now + i));
    x[start + i] = last = plus(last, now[i]);
  }
}

// Coefficients a[0..count) as 16-bit integers into out at the finest shift (at most kLpcPrecision) that
// holds them all; returns the shift.
int quantise_coefficients(const double* a, int count, std::int32_t* out) {
  double largest = 0;
  for (int i = 0; i < count; ++i) largest = std::max(largest, std::abs(a[i]));
  int shift = kLpcPrecision;
  while (shift > 0 && std::nearbyint(largest * double(1 << shift)) >= 32768.0) --shift;
  for (int i = 0; i < count; ++i)
    out[i] = static_cast<std::int32_t>(std::clamp(std::nearbyint(a[i] * double(1 << shift)), -32768.0, 32767.0));
  return shift;
}

// Bits of the widest two's complement field that holds c[0..count).
int coefficient_width(const std::int32_t* c, int count) {
  int width = 1;
  for (int i = 0; i < count; ++i) {
    const auto magnitude = static_cast<u32>(c[i] < 0 ? ~c[i] : c[i]);
    width = std::max(width, 1 + static_cast<int>(std::bit_width(magnitude)));
  }
  return width;
}

// A width - 1 (4 bits) and `count` coefficients of that width.
void write_coefficients(BitWriter& out, const std::int32_t* c, int count) {
  const int width = coefficient_width(c, count);
  out.put(static_cast<u32>(width - 1), 4);
  for (int i = 0; i < count; ++i) out.put(static_cast<u32>(c[i]), width);
}

bool read_coefficients(BitReader& in, std::int32_t* c, int count) {
  const int width = static_cast<int>(in.get(4)) + 1;
  for (int i = 0; i < count; ++i) {
    const u32 bits = in.get(width);
    // Sign-extend the width-bit field.
    c[i] = static_cast<std::int32_t>(bits << (32 - width)) >> (32 - width);
  }
  return in.ok();
}

}  // namespace

int PredictorChoice::head_bits() const {
  if (kind == Predictor::sign_lms_local) return 3 + 2 + 2;
  if (kind == Predictor::cascade) return 3 + 5 + 4;
  const int lpc = 5 + 4 + 4 + order * coefficient_width(coefficients.data(), order);
  if (kind == Predictor::periodic)
    return 3 + 5 + 4 + 16 + lpc + 4 + kPeriodicTaps * coefficient_width(gains.data(), kPeriodicTaps);
  return kind == Predictor::lpc ? 3 + lpc : 3;
}

void write_predictor(BitWriter& out, const PredictorChoice& choice) {
  const bool extended = static_cast<int>(choice.kind) >= kPredictorKinds;
  out.put(static_cast<u32>(extended ? Predictor::lpc : choice.kind), 3);
  if (extended) {
    out.put(static_cast<u32>(static_cast<int>(choice.kind) - kPredictorKinds), 5);
    out.put(kExtendedKindShift, 4);
    if (choice.kind != Predictor::periodic) return;
    out.put(static_cast<u32>(choice.period), 16);
  }
  if (choice.kind == Predictor::sign_lms_local) {
    out.put(static_cast<u32>(std::countr_zero(static_cast<u32>(choice.taps)) - 1), 2);
    out.put(static_cast<u32>(std::countr_zero(static_cast<u32>(choice.step))), 2);
  }
  if (choice.kind != Predictor::lpc && choice.kind != Predictor::periodic) return;
  out.put(static_cast<u32>(choice.order - 1), 5);
  out.put(static_cast<u32>(choice.shift), 4);
  write_coefficients(out, choice.coefficients.data(), choice.order);
  if (choice.kind == Predictor::periodic) write_coefficients(out, choice.gains.data(), kPeriodicTaps);
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
    if (choice.kind != Predictor::periodic) return in.ok();
    choice.period = static_cast<int>(in.get(16));
    choice.order = static_cast<int>(in.get(5)) + 1;
    choice.shift = static_cast<int>(in.get(4));
    if (choice.period < kMinPeriod || choice.shift == kExtendedKindShift) return false;
    return read_coefficients(in, choice.coefficients.data(), choice.order) &&
           read_coefficients(in, choice.gains.data(), kPeriodicTaps);
  }
  return read_coefficients(in, choice.coefficients.data(), choice.order);
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
    case Predictor::periodic:
      (choice.order == 8 ? predict_periodic<8> : predict_periodic<0>)(x, start, end, choice, r.data());
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
    case Predictor::periodic:
      (choice.order == 8 ? reconstruct_periodic<8> : reconstruct_periodic<0>)(x, start, end, choice, r.data());
      return;
  }
}

PredictorChoice fit_lpc(std::span<const std::int32_t> q, std::size_t start, std::size_t end, int order) {
  PredictorChoice choice{.kind = Predictor::lpc, .order = order};
  const std::size_t n = end - start;
  // Autocorrelation of the codes less their first value, scaled down to 20 bits if they are larger: every
  // product and partial sum is then an integer below 2^53, exact in doubles in any order, so every
  // processor fits the same coefficients.
  std::int32_t low, high;
  kernels().extent(q.data() + start, n, low, high);
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
  choice.shift = quantise_coefficients(a.data(), order, choice.coefficients.data());
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
  for (std::size_t first = 0; first < lanes.size(); first += kLmsLanes)
    run(lanes.subspan(first, std::min(kLmsLanes, lanes.size() - first)), inverse);
}


std::array<int, 2> find_periods(std::span<const std::int32_t> q) {
  // Coarse first: differences over kStride codes, whose correlation at lag m shows a cycle of about
  // kStride * m codes; then the codes' own first differences at the lags around a coarse one. Values are
  // clamped to 2^19 and sums run over at most 2^13 of them, so every sum is an integer below 2^53, exact in
  // doubles in any order. Scores are correlations per term: sums over fewer terms at longer lags are not at
  // a disadvantage.
  constexpr std::size_t kStride = 8, kMaxCoarseLag = 256, kMinCoarseLag = 2, kRead = 8192, kFineRead = 4096;
  constexpr i64 kClamp = i64{1} << 19;
  const std::size_t read = std::min(q.size(), kRead), coarse_count = read / kStride;
  if (coarse_count < 3 * (kMinCoarseLag + 1)) return {};
  std::vector<double> coarse(coarse_count - 1);
  for (std::size_t m = 1; m < coarse_count; ++m)
    coarse[m - 1] = double(std::clamp<i64>(minus(q[kStride * m + kStride - 1], q[kStride * m - 1]), -kClamp, kClamp));
  // (lags the fine stage can refine: up to a third of its differences)
  const std::size_t most = std::min({kMaxCoarseLag, coarse.size() / 3, (std::min(read, kFineRead) - 1) / 3 / kStride});
  std::array<double, kMaxCoarseLag + 1> scores{};
  kernels().autocorrelation(coarse.data(), coarse.size(), static_cast<int>(most), scores.data());
  double best = 0;
  std::size_t strongest = 0;
  for (std::size_t lag = kMinCoarseLag; lag <= most; ++lag)
    if ((scores[lag] /= double(coarse.size() - lag)) > best) best = scores[lag], strongest = lag;
  if (strongest == 0) return {};
  // A cycle correlates at its multiples too, about as strongly, and the strongest may be one of them (a
  // week of days): the shortest lag within a tenth of the best as well.
  std::size_t shortest = kMinCoarseLag;
  while (scores[shortest] < 0.9 * best) ++shortest;
  std::vector<double> d(std::min(read, kFineRead) - 1);
  for (std::size_t i = 1; i <= d.size(); ++i) d[i - 1] = double(std::clamp<i64>(minus(q[i], q[i - 1]), -kClamp, kClamp));
  const auto dot = kernels().exact_dot;
  const auto refined = [&](std::size_t lag) {
    const std::size_t low = std::max<std::size_t>(kMinPeriod, kStride * (lag - 1));
    const std::size_t high = std::min({kStride * (lag + 1), d.size() / 3, std::size_t{kMaxPeriod}});
    std::size_t period = 0;
    double top = 0;
    for (std::size_t fine = low; fine <= high; ++fine)
      if (const double s = dot(d.data() + fine, d.data(), d.size() - fine) / double(d.size() - fine); s > top)
        top = s, period = fine;
    return static_cast<int>(period);
  };
  const int first = refined(shortest), second = shortest == strongest ? 0 : refined(strongest);
  return first ? std::array{first, second == first ? 0 : second} : std::array{second, 0};
}

PredictorChoice fit_periodic(std::span<const std::int32_t> q, std::size_t start, std::size_t end, int order,
                             int period) {
  PredictorChoice choice{.kind = Predictor::periodic, .order = order, .period = period};
  const int count = order + kPeriodicTaps;
  std::array<std::size_t, kMaxLpcOrder + kPeriodicTaps> lags{};
  for (int j = 0; j < order; ++j) lags[j] = static_cast<std::size_t>(j + 1);
  for (int k = 0; k < kPeriodicTaps; ++k) lags[order + k] = static_cast<std::size_t>(period - 1 + k);
  // The normal equations of the segment's differences on their lags (zeros before the block), scaled down
  // to 20 bits if they are larger: every product and sum is then an integer below 2^53, exact in doubles
  // in any order, so every processor fits the same coefficients.
  PeriodicDifferences differences(choice, start, end);
  differences.fill(q.data(), end);
  const std::span<const std::int32_t> all = differences.all();
  const std::size_t n = end - start, back = all.size() - n;  // (the widest lag, period + 1, or the order)
  std::vector<double> w(all.size());
  i64 largest = 0;
  for (std::size_t i = 0; i < w.size(); ++i) {
    w[i] = double(all[i]);
    largest = std::max(largest, std::abs(i64{all[i]}));
  }
  const int scale = std::max(0, static_cast<int>(std::bit_width(static_cast<std::uint64_t>(largest))) - 20);
  if (scale > 0)
    for (double& v : w) v = std::floor(std::ldexp(v, -scale));  // the arithmetic shift, exact in doubles
  const double* now = w.data() + back;
  const auto dot = kernels().exact_dot;
  // sum over the segment of d[i - a] d[i - b]: the pair (a + 1, b + 1) is the pair (a, b) less its last
  // product and plus the one before the segment, so each diagonal of the matrix takes one dot product.
  const auto sum = [&](std::size_t a, std::size_t b) { return dot(now - a, now - b, n); };
  const auto next = [&](double ab, std::size_t a, std::size_t b) {
    return ab - now[n - 1 - a] * now[n - 1 - b] + now[-1 - static_cast<std::ptrdiff_t>(a)] * now[-1 - static_cast<std::ptrdiff_t>(b)];
  };
  std::array<std::array<double, kMaxLpcOrder + kPeriodicTaps + 1>, kMaxLpcOrder + kPeriodicTaps> a{};
  for (int j = 0; j < count; ++j) {
    for (int k = j; k < count; ++k)
      a[j][k] = a[k][j] = j > 0 && lags[j] == lags[j - 1] + 1 && lags[k] == lags[k - 1] + 1
                              ? next(a[j - 1][k - 1], lags[j - 1], lags[k - 1])
                              : sum(lags[j], lags[k]);
    a[j][count] = sum(lags[j], 0);
  }
  // Gaussian elimination of the symmetric system (positive definite but for a signal of zeros).
  for (int j = 0; j < count; ++j) a[j][j] = a[j][j] > 0 ? a[j][j] * (1.0 + 1e-9) : 1.0;
  for (int j = 0; j < count; ++j)
    for (int i = j + 1; i < count; ++i) {
      const double f = a[i][j] / a[j][j];
      for (int k = j; k <= count; ++k) a[i][k] -= f * a[j][k];
    }
  std::array<double, kMaxLpcOrder + kPeriodicTaps> x{};
  for (int j = count - 1; j >= 0; --j) {
    double rest = a[j][count];
    for (int k = j + 1; k < count; ++k) rest -= a[j][k] * x[k];
    x[j] = rest / a[j][j];
    if (!std::isfinite(x[j])) return choice;  // predicts no change
  }
  std::array<std::int32_t, kMaxLpcOrder + kPeriodicTaps> quantised{};
  choice.shift = quantise_coefficients(x.data(), count, quantised.data());
  std::copy_n(quantised.begin(), order, choice.coefficients.begin());
  std::copy_n(quantised.begin() + order, kPeriodicTaps, choice.gains.begin());
  return choice;
}

}  // namespace quorvel::sequence
