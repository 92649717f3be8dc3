// Each predictor of the sequence coder against its residual as docs/format.md writes it, computed here
// sample by sample in 64 bits and wrapped: on int32 extremes, in a block's first segment and in a later one,
// back exactly through reconstruct, and the same on every tier.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "codec/sequence/predictors.hpp"
#include "tier_cap.hpp"

namespace {

namespace s = quorvel::sequence;
using s::Predictor;
using s::PredictorChoice;
using i64 = std::int64_t;
using Codes = std::vector<std::int32_t>;

std::int32_t wrap(i64 v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }
int sign(i64 v) { return (v > 0) - (v < 0); }

// Coding order of a segment of m values: 0, then the odd multiples of each stride, coarsest first.
std::vector<std::size_t> interpolation_order(std::size_t m) {
  std::vector<std::size_t> order{0};
  for (std::size_t stride = m > 1 ? std::bit_floor(m - 1) : 0; stride >= 1; stride /= 2)
    for (std::size_t i = stride; i < m; i += 2 * stride) order.push_back(i);
  return order;
}

// Residuals of the sign-LMS stage on first differences d of the segment, after `before` (oldest first).
Codes lms_model(const Codes& d, const Codes& before, int taps, int step) {
  std::vector<i64> w(static_cast<std::size_t>(taps), 0);
  const auto diff = [&](i64 i) { return i >= 0 ? i64{d[std::size_t(i)]} : i64{before[before.size() + std::size_t(i)]}; };
  Codes r(d.size());
  for (std::size_t i = 0; i < d.size(); ++i) {
    const int direction = i ? sign(r[i - 1]) : 0;
    i64 sum = 0;
    for (int j = 0; j < taps; ++j) {
      w[std::size_t(j)] += direction * step * sign(diff(i64(i) - 2 - j));
      sum += w[std::size_t(j)] * diff(i64(i) - 1 - j);
    }
    r[i] = wrap(i64{d[i]} - wrap(sum >> 8));
  }
  return r;
}

// The cascade's residuals of the codes q[0, end) as docs/format.md builds them: each stage's history a
// list, newest first, into which every input is inserted at the front.
Codes cascade_model(const Codes& q, std::size_t end) {
  struct Stage {
    int taps, step, shift;
    std::vector<i64> w, x, a;
    i64 mean = 0;
  };
  std::vector<Stage> stages;
  for (const auto& [taps, step, shift] : {std::tuple{16, 4, 12}, {32, 4, 13}, {8, 4, 12}, {2, 1, 7}})
    stages.push_back({taps, step, shift, std::vector<i64>(size_t(taps)), std::vector<i64>(size_t(taps)),
                      std::vector<i64>(size_t(taps))});
  Codes r;
  for (std::size_t i = 0; i < end; ++i) {
    i64 v = wrap(i64{q[i]} - (i ? i64{q[i - 1]} : 0));
    for (Stage& st : stages) {
      i64 sum = 0;
      for (int j = 0; j < st.taps; ++j) sum += st.w[size_t(j)] * st.x[size_t(j)];
      const i64 e = wrap(v - wrap(sum >> st.shift));
      for (int j = 0; j < st.taps; ++j) st.w[size_t(j)] += sign(e) * st.step * st.a[size_t(j)];
      const i64 m = std::abs(v);
      const int scale = m > 3 * st.mean ? 4 : 3 * m > 4 * st.mean ? 2 : m > 0 ? 1 : 0;
      st.x.insert(st.x.begin(), v), st.x.pop_back();
      st.a.insert(st.a.begin(), sign(v) * scale), st.a.pop_back();
      st.mean += (m - st.mean) >> 4;
      v = e;
    }
    r.push_back(static_cast<std::int32_t>(v));
  }
  return r;
}

// The residuals of q[start, end) by the table of predictors.
Codes model(const Codes& q, std::size_t start, std::size_t end, const PredictorChoice& p) {
  const auto k = [&](i64 i) { return i >= 0 ? i64{q[std::size_t(i)]} : 0; };
  Codes r;
  switch (p.kind) {
    case Predictor::identity:
    case Predictor::diff1:
    case Predictor::diff2:
    case Predictor::diff3:
    case Predictor::lpc:
      for (std::size_t i = start; i < end; ++i) {
        const i64 at = i64(i);
        i64 prediction = 0;
        const int fixed = std::min<int>(static_cast<int>(p.kind), static_cast<int>(i));
        if (p.kind == Predictor::lpc) {
          if (i < std::size_t(p.order)) {
            prediction = k(at - 1);
          } else {
            for (int j = 1; j <= p.order; ++j) prediction += i64{p.coefficients[std::size_t(j - 1)]} * k(at - j);
            prediction >>= p.shift;
          }
        } else if (fixed == 1) {
          prediction = k(at - 1);
        } else if (fixed == 2) {
          prediction = 2 * k(at - 1) - k(at - 2);
        } else if (fixed == 3) {
          prediction = 3 * k(at - 1) - 3 * k(at - 2) + k(at - 3);
        }
        r.push_back(wrap(k(at) - wrap(prediction)));
      }
      return r;
    case Predictor::interpolation: {
      const std::size_t m = end - start;
      const auto x = [&](std::size_t i) { return i64{q[start + i]}; };
      for (const std::size_t i : interpolation_order(m)) {
        i64 prediction = 0;
        const std::size_t s = i ? std::size_t{1} << std::countr_zero(i) : 0;
        if (i == 0) prediction = k(i64(start) - 1);
        else if (i + s >= m) prediction = x(i - s);
        else if (i < 3 * s || i + 3 * s >= m) prediction = (x(i - s) + x(i + s) + 1) >> 1;
        else prediction = (9 * (x(i - s) + x(i + s)) - x(i - 3 * s) - x(i + 3 * s) + 8) >> 4;
        r.push_back(wrap(x(i) - wrap(prediction)));
      }
      return r;
    }
    case Predictor::sign_lms:
    case Predictor::sign_lms_local: {
      const auto d = [&](i64 i) { return wrap(k(i) - k(i - 1)); };
      Codes diffs, before(17, 0);
      for (std::size_t i = start; i < end; ++i) diffs.push_back(d(i64(i)));
      if (p.kind == Predictor::sign_lms)
        for (i64 j = 0; j < 17; ++j) before[std::size_t(j)] = i64(start) - 17 + j >= 0 ? d(i64(start) - 17 + j) : 0;
      return lms_model(diffs, before, p.taps, p.step);
    }
    case Predictor::cascade: {
      const Codes all = cascade_model(q, end);
      return Codes(all.begin() + std::ptrdiff_t(start), all.end());
    }
    case Predictor::periodic: {
      const auto d = [&](i64 i) { return i >= 0 ? wrap(k(i) - k(i - 1)) : 0; };
      for (std::size_t i = start; i < end; ++i) {
        i64 prediction = 0;
        for (int j = 1; j <= p.order; ++j) prediction += i64{p.coefficients[std::size_t(j - 1)]} * d(i64(i) - j);
        for (int j = 0; j < 3; ++j) prediction += i64{p.gains[std::size_t(j)]} * d(i64(i) - p.period + 1 - j);
        r.push_back(wrap(i64{d(i64(i))} - wrap(prediction >> p.shift)));
      }
      return r;
    }
  }
  return r;
}

// Blocks that reach every wrap: int32 extremes, alternations between them, a slow ramp, noise.
std::vector<Codes> awkward_blocks(std::mt19937& rng) {
  std::vector<Codes> blocks;
  std::uniform_int_distribution<std::int32_t> any(INT32_MIN, INT32_MAX), small(-40, 40);
  for (const std::size_t n : {1u, 2u, 3u, 7u, 33u, 600u}) {
    Codes extreme(n), noisy(n), ramp(n);
    std::int32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
      extreme[i] = rng() % 3 == 0 ? any(rng) : (i % 2 ? INT32_MAX : INT32_MIN);
      noisy[i] = v += small(rng);
      ramp[i] = static_cast<std::int32_t>(1000 * i) + small(rng);
    }
    blocks.insert(blocks.end(), {extreme, noisy, ramp});
  }
  return blocks;
}

std::vector<PredictorChoice> every_predictor(std::mt19937& rng) {
  std::vector<PredictorChoice> choices;
  for (const Predictor kind : {Predictor::identity, Predictor::diff1, Predictor::diff2, Predictor::diff3,
                               Predictor::interpolation, Predictor::sign_lms, Predictor::cascade})
    choices.push_back({.kind = kind});
  std::uniform_int_distribution<std::int32_t> coefficient(-32768, 32767);
  for (int order = 1; order <= s::kMaxLpcOrder; ++order) {
    // (an LPC's shift is at most 14: a head with shift 15 names a kind from 8 on)
    PredictorChoice p{.kind = Predictor::lpc, .order = order, .shift = order % 15};
    for (int j = 0; j < order; ++j) p.coefficients[std::size_t(j)] = coefficient(rng);
    choices.push_back(p);
  }
  for (const int taps : {2, 4, 8, 16})
    for (const int step : {1, 2, 4, 8}) choices.push_back({.kind = Predictor::sign_lms_local, .taps = taps, .step = step});
  // Periods shorter and longer than the blocks, at every order.
  for (const int period : {s::kMinPeriod, 40, 700}) {
    for (const int order : {1, 8, s::kMaxLpcOrder}) {
      PredictorChoice p{.kind = Predictor::periodic, .order = order, .shift = (order + period) % 15, .period = period};
      for (int j = 0; j < order; ++j) p.coefficients[std::size_t(j)] = coefficient(rng);
      for (auto& g : p.gains) g = coefficient(rng);
      choices.push_back(p);
    }
  }
  return choices;
}

struct Segment {
  std::size_t start, end;
};
std::vector<Segment> segments_of(std::size_t n) {
  if (n < 4) return {{0, n}};
  return {{0, n}, {n / 3, n}, {1, n / 2}};
}

Codes residuals(const Codes& q, Segment s, const PredictorChoice& p) {
  Codes r(s.end - s.start);
  s::predict(q, s.start, s.end, p, r);
  return r;
}

}  // namespace

TEST(SequencePredictors, ResidualsAreTheDefinitionsAndInvertExactly) {
  std::mt19937 rng(11);
  const auto choices = every_predictor(rng);
  for (const Codes& q : awkward_blocks(rng)) {
    for (const Segment seg : segments_of(q.size())) {
      for (const PredictorChoice& p : choices) {
        const Codes r = residuals(q, seg, p);
        ASSERT_EQ(r, model(q, seg.start, seg.end, p))
            << "kind " << int(p.kind) << " order " << p.order << " taps " << p.taps << " n " << q.size()
            << " segment " << seg.start << ".." << seg.end;
        Codes back = q;  // the codes before the segment are known to the decoder; those in it are not
        std::fill(back.begin() + std::ptrdiff_t(seg.start), back.end(), 0x5A5A5A5A);
        s::reconstruct(back, seg.start, seg.end, p, r);
        ASSERT_TRUE(std::equal(back.begin(), back.begin() + std::ptrdiff_t(seg.end), q.begin()))
            << "kind " << int(p.kind) << " order " << p.order << " n " << q.size();
      }
    }
  }
}

// The fitted LPC of a stable AR(2) process finds its coefficients (1.6, -0.8 in 2^-shift), fits its head
// (16-bit coefficients, shift 0..14) at every order, and higher orders predict no worse than order 2.
TEST(SequencePredictors, FittedLpcFindsAnArProcessAndFitsItsHead) {
  // Gaussian-like noise from the engine's own numbers (Irwin-Hall of 12 uniforms), which every standard
  // library gives alike; std::normal_distribution's sequence differs between libraries.
  std::mt19937 rng(14);
  const auto noise = [&rng] {
    double sum = 0;
    for (int k = 0; k < 12; ++k) sum += rng() / 4294967296.0;
    return 500.0 * (sum - 6.0);
  };
  Codes q(4096);
  double a = 0, b = 0;
  for (auto& v : q) {
    const double next = 1.6 * a - 0.8 * b + noise();
    b = a, a = next;
    v = static_cast<std::int32_t>(std::lround(next));
  }
  const auto total = [&](const PredictorChoice& p) {
    i64 sum = 0;
    for (const std::int32_t v : residuals(q, {100, 4096}, p)) sum += std::abs(i64{v});
    return sum;
  };
  const PredictorChoice two = s::fit_lpc(q, 100, 4096, 2);
  ASSERT_EQ(two.order, 2);
  EXPECT_NEAR(two.coefficients[0] / double(1 << two.shift), 1.6, 0.1);
  EXPECT_NEAR(two.coefficients[1] / double(1 << two.shift), -0.8, 0.1);
  EXPECT_LT(total(two), total({.kind = Predictor::diff1}));
  for (const int order : {1, 3, 8, 17, 32}) {
    const PredictorChoice p = s::fit_lpc(q, 100, 4096, order);
    ASSERT_LE(p.order, order);
    ASSERT_GE(p.shift, 0);
    ASSERT_LE(p.shift, 14);
    for (int j = 0; j < p.order; ++j) {
      ASSERT_GE(p.coefficients[std::size_t(j)], -32768);
      ASSERT_LE(p.coefficients[std::size_t(j)], 32767);
    }
    if (order > 2) {
      EXPECT_LT(total(p), total(two) * 21 / 20) << "order " << order;
    }
  }
  const Codes flat(300, INT32_MIN);  // a constant segment: the last sample
  const PredictorChoice p = s::fit_lpc(flat, 0, 300, 8);
  EXPECT_EQ(residuals(flat, {1, 300}, p), Codes(299, 0));
}

// LPC residuals (the AVX2 kernel past the first `order` codes), the cascade and the local sign-LMS stages,
// alone and as lanes run side by side, come out the same on every tier, and so do the codes reconstructed
// from them.
TEST(SequencePredictors, EveryTierAndTheLmsLanesGiveTheSameResiduals) {
  std::mt19937 rng(12);
  const auto choices = every_predictor(rng);
  for (const Codes& q : awkward_blocks(rng)) {
    std::vector<Codes> best;
    for (const PredictorChoice& p : choices) best.push_back(residuals(q, {0, q.size()}, p));
    {
      const quorvel_testing::ScopedTierCap cap(rimble::ProcessorTier::Portable);
      for (std::size_t c = 0; c < choices.size(); ++c) {
        ASSERT_EQ(residuals(q, {0, q.size()}, choices[c]), best[c]) << "choice " << c << " n " << q.size();
        Codes back(q.size(), 0x5A5A5A5A);  // the running sums of the fixed predictors, the portable way
        s::reconstruct(back, 0, q.size(), choices[c], best[c]);
        ASSERT_EQ(back, q) << "choice " << c << " n " << q.size();
      }
      // The cascade's portable inverse, from a segment in the middle.
      const Segment middle{q.size() / 3, q.size()};
      Codes back = q;
      std::fill(back.begin() + std::ptrdiff_t(middle.start), back.end(), 0);
      s::reconstruct(back, middle.start, middle.end, {.kind = Predictor::cascade},
                     residuals(q, middle, {.kind = Predictor::cascade}));
      ASSERT_EQ(back, q) << "n " << q.size();
    }
    for (std::size_t c = 0; c < choices.size(); ++c) {
      if (choices[c].kind != Predictor::sign_lms_local) continue;
      Codes d(q.size());
      s::differences_of(q.data(), 0, q.size(), d.data());
      std::vector<s::LmsLane> lanes;
      s::add_local_lms_lanes(std::span(&choices[c], 1), d.data(), d.data(), q.size(), lanes);
      s::run_lms_lanes(lanes, false);
      ASSERT_EQ(d, best[c]) << "taps " << choices[c].taps << " step " << choices[c].step;
    }
  }
}

// A cycle of 48 codes (a day of half-hours) under noise: the period is found, and the periodic predictor
// fitted to a later segment leaves residuals well under the LPC's of twice its order. A period below the
// shortest one or a head naming one is refused, and a block of white noise shows none worth a fit.
TEST(SequencePredictors, PeriodicPredictorFindsAndUsesACycle) {
  std::mt19937 rng(15);
  std::uniform_int_distribution<int> noise(-20, 20);
  std::array<int, 48> day{};
  for (int& v : day) v = noise(rng) * 40;
  Codes q(8192);
  for (std::size_t i = 0; i < q.size(); ++i) q[i] = 5000 + day[i % 48] + noise(rng);
  const auto periods = s::find_periods(q);
  const int period = periods[0];
  EXPECT_EQ(period, 48);
  EXPECT_EQ(periods[1] % 48, 0) << periods[1];
  const auto total = [&](const PredictorChoice& p) {
    i64 sum = 0;
    for (const std::int32_t v : residuals(q, {4096, 8192}, p)) sum += std::abs(i64{v});
    return sum;
  };
  const PredictorChoice periodic = s::fit_periodic(q, 4096, 8192, 8, period);
  EXPECT_LT(total(periodic) * 4, total(s::fit_lpc(q, 4096, 8192, 16)));
  Codes white(8192);
  for (auto& v : white) v = noise(rng);
  const PredictorChoice none = s::fit_periodic(white, 4096, 8192, 8, std::max(s::find_periods(white)[0], s::kMinPeriod));
  for (const std::int32_t g : none.gains) EXPECT_LT(std::abs(g), 1 << (none.shift - 2));
  EXPECT_EQ(s::find_periods(Codes(40, 7)), (std::array{0, 0}));
  std::vector<std::uint8_t> bytes;
  s::BitWriter out(bytes);
  s::write_predictor(out, {.kind = Predictor::periodic, .order = 2, .shift = 3, .period = s::kMinPeriod - 1});
  out.flush();
  s::BitReader in(bytes);
  PredictorChoice back;
  EXPECT_FALSE(s::read_predictor(in, back));
}

// Every head field comes back, and a head cut short is seen.
TEST(SequencePredictors, HeadsRoundTripAndShortHeadsAreSeen) {
  std::mt19937 rng(13);
  for (const PredictorChoice& p : every_predictor(rng)) {
    std::vector<std::uint8_t> bytes;
    s::BitWriter out(bytes);
    s::write_predictor(out, p);
    out.flush();
    ASSERT_EQ(bytes.size(), std::size_t(p.head_bits() + 7) / 8);
    s::BitReader in(bytes);
    PredictorChoice back;
    ASSERT_TRUE(s::read_predictor(in, back));
    EXPECT_EQ(back.kind, p.kind);
    if (p.kind == Predictor::lpc || p.kind == Predictor::periodic) {
      EXPECT_EQ(back.period, p.period);
      EXPECT_EQ(back.order, p.order);
      EXPECT_EQ(back.shift, p.shift);
      EXPECT_EQ(back.coefficients, p.coefficients);
      EXPECT_EQ(back.gains, p.gains);
    }
    if (p.kind == Predictor::sign_lms_local) {
      EXPECT_EQ(std::pair(back.taps, back.step), std::pair(p.taps, p.step));
    }
    if (bytes.size() > 1) {
      s::BitReader cut(std::span<const std::uint8_t>(bytes).first(bytes.size() - 1));
      EXPECT_FALSE(s::read_predictor(cut, back));
    }
  }
}

// An LPC head of shift 15 names the kinds from 8 on by its order field: 0 is the cascade (12 bits, nothing
// after them), 1 the periodic predictor (its fields follow: here they are missing), the others do not
// exist yet; and a stream longer than the cascade's bound may not use it.
TEST(SequencePredictors, ExtendedKindsAreReadFromAnLpcHeadOfShift15) {
  for (const std::uint32_t order_field : {0u, 1u, 31u}) {
    std::vector<std::uint8_t> bytes;
    s::BitWriter out(bytes);
    out.put(static_cast<std::uint32_t>(Predictor::lpc), 3);
    out.put(order_field, 5);
    out.put(15, 4);
    out.flush();
    s::BitReader in(bytes);
    PredictorChoice back;
    ASSERT_EQ(s::read_predictor(in, back), order_field == 0);
    if (order_field == 0) {
      EXPECT_EQ(back.kind, Predictor::cascade);
      EXPECT_EQ(in.bytes_used(), 2u);
    }
  }
}
