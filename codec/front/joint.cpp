// codec/front/joint.cpp: choosing references for a frame's lanes, coding the differences, the reference table.
#include "codec/front/joint.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "codec/common/parallel.hpp"
#include "codec/front/gaps.hpp"
#include "codec/v1/decompressor.hpp"
#include "codec/v2/decoder.hpp"

namespace quorvel::joint {

namespace {

constexpr std::size_t entry_size = 10;
constexpr std::size_t window_length = 256;  // first differences per window of the estimate
constexpr std::size_t window_count = 8;
constexpr std::size_t neighbours = 16;  // references considered on each side of a lane
constexpr std::size_t shortest_lane = 64;
constexpr double weight_one = 4096.0;
constexpr double min_share = 0.05;  // of a lane's bits alone that a joint coding must be estimated to save

QuorvelError invalid(std::string text) { return QuorvelError::invalid_frame(std::move(text)); }

// Where the estimate looks: windows of window_length + 1 samples spread over
// the lane, or the whole lane when it is short.
std::vector<std::size_t> window_starts(std::size_t n) {
  if (n <= window_count * (window_length + 1)) return {0};
  std::vector<std::size_t> starts(window_count);
  for (std::size_t w = 0; w < window_count; ++w) starts[w] = w * (n - window_length - 1) / (window_count - 1);
  return starts;
}

// The first and second differences of a lane inside the windows: the
// prediction errors of the two simplest predictors, a stand-in for what the
// lane's coder will find.
struct Differences {
  std::vector<double> first, second;
  std::array<double, 2> energy = {};  // of each, once they are complete
};

template <class T>
void append_differences(std::span<const T> window, Differences& out) {
  const auto x = [&](std::size_t i) { return static_cast<double>(window[i]); };
  for (std::size_t i = 1; i < window.size(); ++i) out.first.push_back(x(i) - x(i - 1));
  for (std::size_t i = 2; i < window.size(); ++i) out.second.push_back(x(i) - 2 * x(i - 1) + x(i - 2));
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double s = 0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

// The sums that give a residual x - w y's difference energy for any w, per
// order: |dx|^2, <dx, dy>, |dy|^2. The reference's quantisation noise is left
// out: under a max error the residual is rounded on a lattice centred on zero
// (on_zero_lattice), where that noise codes as zeros, and an RMSE coder drops
// noise below its target.
struct PairSums {
  std::array<double, 2> xx, xy, yy, count;
};

PairSums pair_sums(const Differences& x, const Differences& y) {
  const auto m1 = static_cast<double>(x.first.size()), m2 = static_cast<double>(x.second.size());
  const bool self = &x == &y;
  return {x.energy,
          {self ? x.energy[0] : dot(x.first, y.first), self ? x.energy[1] : dot(x.second, y.second)},
          y.energy,
          {m1, m2}};
}

// What one candidate pair is worth: the weight and the estimated bits saved.
struct Candidate {
  double bits;
  std::uint32_t lane;
  std::uint32_t reference;
  std::int16_t weight;
};

// The variance quantisation adds to a first difference: a step of 2e (max
// error) or an RMSE t adds noise of variance e^2 / 3 or t^2 to each sample.
// It is the floor under what coding a lane costs.
double target_noise(Target target, double lane_energy_per_sample) {
  switch (target.kind) {
    case TargetKind::max_error: return target.value * target.value / 3.0;
    case TargetKind::rmse: return target.value * target.value;
    default: {
      const double t = target.value / 100.0;
      return t * t * lane_energy_per_sample;
    }
  }
}

// What the estimate needs of every lane coded alone: the differences of its
// bridged samples inside the windows, and the noise of its target. Nothing
// is decoded. Lanes without a container keep no differences.
struct Estimate {
  std::vector<Differences> d;
  std::vector<double> noise;
  std::vector<std::size_t> alone_bits;
};

template <class T>
Estimate estimate(std::span<const T> samples, std::size_t n, Target target, std::size_t threads,
                  const LaneCodec& codec, const std::vector<std::vector<std::uint8_t>>& containers) {
  const std::size_t lanes = containers.size();
  const auto starts = window_starts(n);
  const std::size_t m = starts.size() == 1 ? n : window_length + 1;
  Estimate e{std::vector<Differences>(lanes), std::vector<double>(lanes), std::vector<std::size_t>(lanes)};
  parallel_for(lanes, threads, [&](std::size_t lane) {
    if (containers[lane].empty()) return;
    try {
      // The lane as its container codes it: as it is, or bridged when it has gaps.
      const auto lane_samples = samples.subspan(lane * n, n);
      const bool finite = std::ranges::all_of(lane_samples, [](T v) { return std::isfinite(v); });
      const std::vector<double> bridged = finite ? std::vector<double>{} : codec.filled(lane);
      Differences& d = e.d[lane];
      double energy = 0;
      const auto measure = [&](auto x) {
        if (target.kind == TargetKind::prd) {
          for (const double v : x) energy += v * v;
        }
        for (const std::size_t s : starts) append_differences(x.subspan(s, m), d);
      };
      if (finite) {
        measure(lane_samples);
      } else {
        measure(std::span<const double>(bridged));
      }
      d.energy = {dot(d.first, d.first), dot(d.second, d.second)};
      e.noise[lane] = target_noise(target, energy / static_cast<double>(n));
      e.alone_bits[lane] = 8 * containers[lane].size();
    } catch (const std::bad_alloc&) {
      e.d[lane] = {};  // the lane stays alone
    }
  });
  return e;
}

// The variance per sample a lane of noise `noise` costs to code with the
// better of the two predictors, its residual against the reference being
// weighted by w: the prediction error plus the target's own noise as a floor.
double coded_variance(const PairSums& p, double w, double noise) {
  double best = HUGE_VAL;
  for (std::size_t o = 0; o < 2; ++o) {
    if (p.count[o] == 0) continue;
    const double energy = std::max(0.0, p.xx[o] - 2.0 * w * p.xy[o] + w * w * p.yy[o]);
    best = std::min(best, energy / p.count[o] + (o == 0 ? 2 : 6) * noise);
  }
  return best;
}

// The weight in Q12 that costs least, of the least-squares fits of either
// order, or the integer next to one when that costs at most 5 % more: a
// weight of +-1, 2 ... keeps a lane on the grid it shares with the
// reference (PCM, ADC counts).
std::int16_t chosen_weight(const PairSums& p, double noise, double& variance) {
  variance = HUGE_VAL;
  double best = 0, whole = 0;
  for (std::size_t o = 0; o < 2; ++o) {
    if (!(p.yy[o] > 0)) continue;
    const double fit = std::clamp(p.xy[o] / p.yy[o], -7.0, 7.0);
    const double q = std::round(fit * weight_one) / weight_one;
    if (const double v = coded_variance(p, q, noise); v < variance) variance = v, best = q, whole = std::round(fit);
  }
  if (whole != 0 && coded_variance(p, whole, noise) <= 1.05 * variance) {
    variance = coded_variance(p, whole, noise);
    best = whole;
  }
  return static_cast<std::int16_t>(best * weight_one);
}

// Pairs that the estimate says are worth coding, best first: a lane against
// each neighbour, and the bits that the drop in its coded variance saves.
std::vector<Candidate> candidates(const Estimate& e, std::size_t n, std::size_t threads) {
  const std::size_t lanes = e.d.size();
  std::vector<std::vector<Candidate>> found(lanes);
  for (auto& f : found) f.reserve(2 * neighbours);  // so that the threads below never allocate
  parallel_for(lanes, threads, [&](std::size_t j) {
    if (e.d[j].first.empty()) return;
    auto& out = found[j];
    const PairSums self = pair_sums(e.d[j], e.d[j]);
    const double alone = coded_variance(self, 0.0, e.noise[j]);
    for (std::size_t k = j > neighbours ? j - neighbours : 0; k < std::min(lanes, j + neighbours + 1); ++k) {
      if (k == j || e.d[k].first.empty()) continue;
      double variance = 0;
      const std::int16_t weight = chosen_weight(pair_sums(e.d[j], e.d[k]), e.noise[j], variance);
      if (weight == 0 || !(alone > 0)) continue;
      // A copy predicts its lane exactly (variance 0 when coded losslessly): about 20 bits a sample saved.
      const double bits = 0.5 * static_cast<double>(n) * std::log2(alone / std::max(variance, alone * 1e-12));
      // Worth a second encoding only when it saves a good part of the lane and far more than its entry.
      if (bits > min_share * static_cast<double>(e.alone_bits[j]) && bits > 8.0 * 4 * entry_size) {
        out.push_back({bits, static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(k), weight});
      }
    }
  });
  std::vector<Candidate> out;
  for (const auto& f : found) out.insert(out.end(), f.begin(), f.end());
  std::ranges::sort(out, [](const Candidate& a, const Candidate& b) { return a.bits > b.bits; });
  return out;
}

// Depth-one references, best pairs first: a lane that references another is
// never referenced itself. At most `budget` lanes are coded again.
std::vector<LaneReference> assign(const std::vector<Candidate>& pairs, std::size_t lanes, std::size_t budget) {
  enum Role : std::uint8_t { free, reference, dependent };
  std::vector<Role> role(lanes, free);
  std::vector<LaneReference> out;
  for (const Candidate& c : pairs) {
    if (out.size() == budget) break;
    if (role[c.lane] != free || role[c.reference] == dependent) continue;
    role[c.lane] = dependent;
    role[c.reference] = reference;
    out.push_back({c.lane, c.reference, c.weight});
  }
  std::ranges::sort(out, {}, &LaneReference::lane);
  return out;
}

// The target a lane's residual is coded to so that the restored lane meets
// `target` on its finite samples (`finite` of `n`, of energy `energy` and
// largest magnitude `peak`); none when the lane cannot be aimed at.
std::optional<Target> residual_target(Target target, std::size_t finite, std::size_t n, double energy, double peak) {
  const double share = std::sqrt(static_cast<double>(finite) / static_cast<double>(n));
  switch (target.kind) {
    case TargetKind::max_error: {
      if (target.value == 0) return target;
      // Room for the float32 rounding of the restored sample.
      const auto top = static_cast<float>(peak + target.value);
      const double aim = target.value - (static_cast<double>(std::nextafter(top, HUGE_VALF)) - top);
      return aim > 0 ? std::optional<Target>(Target{target.kind, aim}) : std::nullopt;
    }
    case TargetKind::rmse: return Target{target.kind, target.value * share};
    case TargetKind::prd: {
      // The lane's own squared-error budget, spread over all n samples.
      const double rmse = target.value / 100.0 * std::sqrt(energy / static_cast<double>(n));
      return rmse > 0 ? std::optional<Target>(Target{TargetKind::rmse, rmse}) : std::nullopt;
    }
    default: return std::nullopt;
  }
}

// Whether the restored lane meets the target on the lane's finite samples.
template <class T>
bool meets(Target target, std::span<const T> lane, std::span<const float> reference, std::int16_t weight,
           std::span<const float> residual) {
  double worst = 0, squares = 0, energy = 0;
  std::size_t finite = 0;
  for (std::size_t i = 0; i < lane.size(); ++i) {
    if (!std::isfinite(lane[i])) continue;
    const double x = lane[i];
    const double d = static_cast<double>(restore_sample(reference[i], weight, residual[i])) - x;
    worst = std::max(worst, std::abs(d));
    squares += d * d, energy += x * x, ++finite;
  }
  switch (target.kind) {
    case TargetKind::max_error: return worst <= target.value;
    case TargetKind::rmse: return std::sqrt(squares / static_cast<double>(finite)) <= target.value;
    default: return energy > 0 && 100.0 * std::sqrt(squares / energy) <= target.value;
  }
}

// A residual under a max error e sits mostly inside [-e, e] where the lanes
// nearly agree: the reference's own quantisation noise is all that is left.
// Rounded to multiples of a step of about 2e centred on zero, those samples
// all become code 0, where the encoder's own grid (anchored at the lowest
// sample) would split them between two codes. The step has 8 significant bits,
// so that every multiple below 2^16 steps is exact in float32 and the encoder
// keeps the residual as it is (at a bound of half the step); none when the
// residual spans more multiples than that.
std::optional<std::pair<std::vector<double>, Target>> on_zero_lattice(std::span<const double> residual,
                                                                      double aim) {
  const double unit = std::ldexp(1.0, std::ilogb(2 * aim) - 7);
  const double step = std::floor(2 * aim / unit) * unit;
  if (!(step > 0) || !std::isfinite(step)) return std::nullopt;
  std::vector<double> rounded(residual.size());
  for (std::size_t i = 0; i < residual.size(); ++i) {
    const double k = std::nearbyint(residual[i] / step);
    if (!(std::abs(k) < 0x1p16)) return std::nullopt;
    rounded[i] = k * step;
  }
  return std::pair{std::move(rounded), Target{TargetKind::max_error, step / 2}};
}

// Lane `r.lane` coded against the decoded reference: its container when it
// meets the target and is smaller than `alone` by more than its table entry.
// Under a max error the residual on the zero-centred lattice goes first, then
// the residual itself where that misses.
template <class T>
std::optional<std::vector<std::uint8_t>> code_against(std::span<const T> lane, const LaneReference& r,
                                                      std::span<const float> reference, Target target,
                                                      std::size_t alone, const LaneCodec& codec) {
  std::vector<double> residual = codec.filled(r.lane);
  std::size_t finite = 0;
  double energy = 0, peak = 0;
  for (const T v : lane) {
    if (!std::isfinite(v)) continue;
    ++finite, energy += static_cast<double>(v) * v, peak = std::max(peak, std::abs(static_cast<double>(v)));
  }
  const auto aim = residual_target(target, finite, lane.size(), energy, peak);
  if (!aim) return std::nullopt;
  for (std::size_t i = 0; i < residual.size(); ++i) {
    residual[i] -= static_cast<double>(r.weight) * reference[i] * 0x1p-12;
  }
  const auto attempt = [&](std::span<const double> values, Target to) -> std::optional<std::vector<std::uint8_t>> {
    auto container = codec.encode(values, to);
    // Smaller by more than its entry and the table's count: the frame never grows.
    if (!container || container->size() + entry_size + 4 >= alone) return std::nullopt;
    std::vector<float> decoded(lane.size());
    if (!codec.decode(*container, 0, decoded) || !meets(target, lane, reference, r.weight, decoded)) {
      return std::nullopt;
    }
    return std::move(*container);
  };
  if (aim->kind == TargetKind::max_error && aim->value > 0) {
    if (const auto lattice = on_zero_lattice(residual, aim->value)) {
      if (auto container = attempt(lattice->first, lattice->second)) return container;
    }
  }
  auto container = attempt(residual, *aim);
  // The RMSE coder keeps a signal that lies on a coarse enough rung as it is (so that a decoded
  // signal encodes again to itself); a residual of nearly equal lanes often does, and is then
  // quantised only a hair below the target. Tried where the first coding saved less than half.
  if (aim->kind == TargetKind::rmse && (!container || 2 * container->size() > alone)) {
    auto finer = attempt(residual, Target{TargetKind::rmse, aim->value * (1 - 0x1p-7)});
    if (finer && (!container || finer->size() < container->size())) container = std::move(finer);
  }
  return container;
}

// A lane's samples [start, start + out.size()) from its container of `version`.
std::expected<void, QuorvelError> decode_part(std::span<const std::uint8_t> container, std::uint8_t version,
                                              std::size_t start, std::span<float> out) {
  if (version == 2) return v2::decode_into(container, start, out, 1);
  const auto samples = decompress_block(container);
  if (!samples) return std::unexpected(samples.error());
  std::ranges::copy(samples->span().subspan(start, out.size()), out.begin());
  return {};
}

}  // namespace

template <class T>
std::vector<LaneReference> code_jointly(std::span<const T> samples, std::size_t lane_length, Target target,
                                        std::size_t threads, const LaneCodec& codec,
                                        std::vector<std::vector<std::uint8_t>>& containers) {
  const std::size_t lanes = containers.size();
  if (lanes < 2 || lane_length < shortest_lane || target.kind == TargetKind::max_bytes) return {};
  const Estimate e = estimate(samples, lane_length, target, threads, codec, containers);
  // Coding a lane again costs about 1.3 encodings of it (its residual, then decoding it and its
  // reference), the estimate about 0.05: at most a third of the lanes, so that a frame of many
  // lanes takes at most about 1.5 times as long as its lanes alone.
  const std::size_t budget = std::max<std::size_t>(1, lanes / 3);
  const auto planned = assign(candidates(e, lane_length, threads), lanes, budget);
  if (planned.empty()) return {};

  std::vector<std::vector<float>> decoded(lanes);
  std::vector<std::size_t> references;
  for (const LaneReference& r : planned) references.push_back(r.reference);
  std::ranges::sort(references);
  references.erase(std::unique(references.begin(), references.end()), references.end());
  parallel_for(references.size(), threads, [&](std::size_t i) {
    const std::size_t k = references[i];
    try {
      decoded[k].resize(lane_length);
      if (!codec.decode(containers[k], 0, decoded[k])) decoded[k].clear();
    } catch (const std::bad_alloc&) {
      decoded[k].clear();
    }
  });

  std::vector<std::optional<std::vector<std::uint8_t>>> joint(planned.size());
  parallel_for(planned.size(), threads, [&](std::size_t i) {
    const LaneReference& r = planned[i];
    if (decoded[r.reference].empty()) return;
    try {
      joint[i] = code_against(samples.subspan(r.lane * lane_length, lane_length), r, decoded[r.reference], target,
                              containers[r.lane].size(), codec);
    } catch (const std::bad_alloc&) {
      joint[i].reset();
    }
  });
  std::vector<LaneReference> kept;
  kept.reserve(planned.size());  // nothing below allocates: the containers change all or not at all
  for (std::size_t i = 0; i < planned.size(); ++i) {
    if (!joint[i]) continue;
    containers[planned[i].lane] = std::move(*joint[i]);
    kept.push_back(planned[i]);
  }
  return kept;
}

template std::vector<LaneReference> code_jointly(std::span<const float>, std::size_t, Target, std::size_t,
                                                 const LaneCodec&, std::vector<std::vector<std::uint8_t>>&);
template std::vector<LaneReference> code_jointly(std::span<const double>, std::size_t, Target, std::size_t,
                                                 const LaneCodec&, std::vector<std::vector<std::uint8_t>>&);

template <class T>
std::vector<LaneReference> code_lanes(std::span<const T> samples, std::size_t n, const FrameSettings& settings,
                                      std::vector<std::vector<std::uint8_t>>& containers) {
  const auto version = static_cast<std::uint8_t>(chosen_format(settings));
  FrameSettings lane_settings = settings;
  lane_settings.threads = 1;
  const joint::LaneCodec codec{
      .filled = [&](std::size_t lane) {
        const auto lane_samples = samples.subspan(lane * n, n);
        if (std::ranges::all_of(lane_samples, [](T x) { return std::isfinite(x); })) {
          return std::vector<double>(lane_samples.begin(), lane_samples.end());
        }
        std::vector<T> filled(lane_samples.begin(), lane_samples.end());
        // As encode_lane fills the lane it codes alone.
        fill_gaps(std::span<T>(filled), std::is_same_v<T, double> && settings.target->kind == TargetKind::max_error);
        return std::vector<double>(filled.begin(), filled.end());
      },
      .encode = [&](std::span<const double> residual, Target target) {
        FrameSettings s = lane_settings;
        s.target = target;
        return encode(residual, s);
      },
      .decode = [&](std::span<const std::uint8_t> container, std::size_t start, std::span<float> out) {
        return decode_part(container, version, start, out);
      }};
  try {
    return code_jointly(samples, n, *settings.target, settings.threads, codec, containers);
  } catch (const std::bad_alloc&) {
    return {};  // a saving, not a need: the lanes stay alone (code_jointly replaces them only at its end)
  }
}

template std::vector<LaneReference> code_lanes(std::span<const float>, std::size_t, const FrameSettings&,
                                               std::vector<std::vector<std::uint8_t>>&);
template std::vector<LaneReference> code_lanes(std::span<const double>, std::size_t, const FrameSettings&,
                                               std::vector<std::vector<std::uint8_t>>&);

std::expected<void, QuorvelError> check_table(std::span<const LaneReference> references, std::size_t lane_count) {
  if (references.empty() || references.size() >= lane_count) {
    return std::unexpected(invalid("A reference table of " + std::to_string(references.size()) +
                                   " lanes does not fit a frame of " + std::to_string(lane_count) + " lanes"));
  }
  for (std::size_t e = 0; e < references.size(); ++e) {
    const LaneReference& r = references[e];
    if (r.lane >= lane_count || r.reference >= lane_count || r.reference == r.lane || r.weight == 0 ||
        (e > 0 && r.lane <= references[e - 1].lane)) {
      return std::unexpected(invalid("Reference table entry " + std::to_string(e) + " (lane " + std::to_string(r.lane) +
                                     ", reference " + std::to_string(r.reference) + ", weight " +
                                     std::to_string(r.weight) + ") is out of range, out of order or void"));
    }
  }
  // The entries go in increasing lane order: a search among them, not a flag per lane (the lane count of a
  // damaged frame's shape is not yet bounded by its bytes here).
  const auto joint = [&](std::uint32_t lane) {
    return std::ranges::binary_search(references, lane, {}, &LaneReference::lane);
  };
  for (const LaneReference& r : references) {
    if (joint(r.reference)) {
      return std::unexpected(invalid("Lane " + std::to_string(r.lane) + " references lane " +
                                     std::to_string(r.reference) + ", which is not coded alone"));
    }
  }
  return {};
}

std::expected<std::vector<LaneReference>, QuorvelError> read_table(std::span<const std::uint8_t> bytes,
                                                                   std::size_t lane_count, std::size_t& size) {
  if (bytes.size() < 4) return std::unexpected(invalid("Frame is too short for its reference table"));
  const std::uint32_t count = little_endian::load<std::uint32_t>(bytes.data());
  if (count == 0 || count >= lane_count || (bytes.size() - 4) / entry_size < count) {
    return std::unexpected(invalid("A reference table of " + std::to_string(count) + " lanes does not fit a frame of " +
                                   std::to_string(lane_count) + " lanes"));
  }
  size = 4 + entry_size * count;
  std::vector<LaneReference> out(count);
  for (std::size_t e = 0; e < count; ++e) {
    const std::uint8_t* p = bytes.data() + 4 + entry_size * e;
    out[e] = {little_endian::load<std::uint32_t>(p), little_endian::load<std::uint32_t>(p + 4),
              static_cast<std::int16_t>(little_endian::load<std::uint16_t>(p + 8))};
  }
  if (auto ok = check_table(out, lane_count); !ok) return std::unexpected(ok.error());
  return out;
}

std::size_t table_size(std::span<const LaneReference> references) {
  return references.empty() ? 0 : 4 + entry_size * references.size();
}

void write_table(std::span<const LaneReference> references, std::uint8_t* out) {
  little_endian::store(out, static_cast<std::uint32_t>(references.size()));
  for (const LaneReference& r : references) {
    little_endian::store(out + 4, r.lane);
    little_endian::store(out + 8, r.reference);
    little_endian::store(out + 12, static_cast<std::uint16_t>(r.weight));
    out += entry_size;
  }
}

}  // namespace quorvel::joint
