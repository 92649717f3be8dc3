// codec/sequence/kernels.hpp: the sequence coder's loops that have AVX2 versions, one table of them per tier.
//
// Each AVX2 kernel gives exactly what its portable twin gives (integer arithmetic, or doubles whose every
// value is an exact integer); the tests compare them. The portable kernels are in kernels.cpp (the sign-LMS
// stage's in predictors.cpp, beside the stage it runs), the AVX2 ones in kernels_avx2.cpp and
// lms_kernels_avx2.cpp, and callers reach either through kernels(), which follows rimble::processor_tier():
// a test binary that caps that tier caps these kernels too.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "codec/sequence/tokens.hpp"
#include "rimble/processor_tier.hpp"

namespace quorvel::sequence {

// Arithmetic modulo 2^32 on int32 residuals and codes.
[[nodiscard]] constexpr std::int32_t wrap(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}
[[nodiscard]] constexpr std::int32_t minus(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
[[nodiscard]] constexpr std::int32_t plus(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// Residuals of whole groups of 8 rounds of a segment in 8 lanes of `length` tokens, from round `from` up to
// `to`: tokens in decoding order, raw bits from bit `position` on, padded so that a group starting at bit
// `limit` or before reads inside the buffer. Writes residuals in block order, advances the position and
// returns the round it stopped at (a group that would start past `limit` is left to the caller).
std::size_t read_rounds_avx2(const std::uint8_t* tokens, std::size_t from, std::size_t to, std::size_t length,
                             const std::uint8_t* raw, std::uint64_t& position, std::uint64_t limit,
                             std::int32_t* residuals);

// A table set's rANS encoder tables as the AVX2 encoder gathers them. Entry t * kTokenCount + token of
// table t: the reciprocal of the token's frequency f (as the scalar encoder has it) and f | start << 12 |
// shift << 24. Per context class (the set's base is the level of class 0), the first entry of its table.
struct RansGatherTables {
  std::array<std::uint32_t, kClasses * kTokenCount> reciprocal{};
  std::array<std::uint32_t, kClasses * kTokenCount> fields{};
  std::int32_t base = 0;
  std::array<std::int32_t, 8> first_of_class{};
};

// A segment of one block as the encoding kernel sees it: 8 lanes of `length` tokens (block order), its
// set's tables, the lanes' states, the words (written below words[next]) and the round the segment is down
// to; states, `next` and `round` go in and out.
struct RansEncodeLanes {
  const std::uint8_t* tokens;
  std::size_t length;
  const RansGatherTables* tables;
  std::uint32_t* state;
  std::uint16_t* words;
  std::size_t next, round;
};

// Encodes whole groups of 8 rounds, last first, of a segment of each of `streams` (1 or 2) blocks side by
// side, all of whose lanes have a token in those rounds, while every stream has 8 rounds left above `from`
// >= 1 (each round reads the token before it in every lane). The words go below words[next] as the scalar
// encoder writes them (the 8 words below words[next] may be overwritten: the caller keeps room for them).
// One block's rounds wait for each other; two blocks' are independent, so the processor overlaps them.
void rans_encode_rounds_avx2(RansEncodeLanes* lanes, std::size_t streams, std::size_t from);

// One block's 8 lanes as the decoding kernel sees them: `entries` are its set's decoder tables (the token's
// successor's table in bits 30-31 of each entry), `table` each lane's current table as the index of its
// first entry; states, tables and `next` go in and out. Tokens are written in decoding order, round k at
// tokens[8 k].
struct RansLanes {
  const std::uint32_t* entries;
  std::uint32_t* state;
  std::int32_t* table;
  const std::uint8_t* words;
  std::size_t next, count;
  std::uint8_t* tokens;
};

// Decodes rounds [from, to) of a segment of each of `streams` (1 to 4) blocks side by side, all of whose
// lanes have a token in each, while every stream has a whole round of words left (words[next + 7] <
// count); returns the round they stopped at. One block's round waits for its table lookups; the
// blocks' rounds are independent, so the processor overlaps them.
std::size_t rans_decode_rounds_avx2(RansLanes* lanes, std::size_t streams, std::size_t from, std::size_t to);

// Raw bits appended least significant first: a 64-bit accumulator stored whole every time (the buffer has
// 8 bytes to spare) and advanced by its full bytes.
struct RawBitWriter {
  std::uint8_t* next;
  std::uint64_t pending = 0;
  int filled = 0;  // below 8 between puts

  // The low `bits` <= 56 bits of value, the others zero.
  void put(std::uint64_t value, int bits) {
    pending |= value << filled;
    filled += bits;
    std::memcpy(next, &pending, 8);
    next += filled >> 3;
    pending >>= filled & ~7;
    filled &= 7;
  }
};

// The raw bits of whole groups of 8 rounds of a segment in 8 lanes of `length` residuals (block order),
// from round `from` up to `to`; returns the round it stopped at.
std::size_t write_rounds_avx2(const std::int32_t* residuals, std::size_t from, std::size_t to, std::size_t length,
                              RawBitWriter& out);

// Tokens of the residuals r[0, n) (token_of(zigzag(r[i]))), and the or of every zigzagged value (whose
// token bounds theirs).
std::uint32_t tokenize(const std::int32_t* r, std::size_t n, std::uint8_t* tokens);
std::uint32_t tokenize_avx2(const std::int32_t* r, std::size_t n, std::uint8_t* tokens);

// Autocorrelation ac[0..order] of z[0, n): every product and partial sum must be an integer below 2^53, so
// that any order of summation gives the same doubles.
void autocorrelation(const double* z, std::size_t n, int order, double* ac);
void autocorrelation_avx2(const double* z, std::size_t n, int order, double* ac);
// The sum of x[i] y[i] over i < n, for integer values whose products and partial sums stay below 2^53:
// exact, so any order of the sums gives the same.
double exact_dot(const double* x, const double* y, std::size_t n);
double exact_dot_avx2(const double* x, const double* y, std::size_t n);
// The smallest and the largest of q[0, n), n >= 1.
void extent(const std::int32_t* q, std::size_t n, std::int32_t& low, std::int32_t& high);
void extent_avx2(const std::int32_t* q, std::size_t n, std::int32_t& low, std::int32_t& high);

// The segment q[0, n) less `first`, shifted right by `scale` bits and tapered by a Welch window, each value
// rounded to an integer (nearest, ties to even) so that the autocorrelation's sums stay exact.
void welch_window(const std::int32_t* q, std::size_t n, std::int32_t first, int scale, double* z);
// The window's taper at i, `half` being (n + 1) / 2.
[[nodiscard]] inline double welch_taper(std::size_t i, double half) {
  const double from_centre = (double(i) + 1.0 - half) / half;
  return 1.0 - from_centre * from_centre;
}
// Value i of the windowed segment.
[[nodiscard]] inline double welch_value(const std::int32_t* q, std::size_t i, double taper, std::int32_t first, int scale) {
  const double value = static_cast<double>((std::int64_t{q[i]} - first) >> scale);
  return std::nearbyint(value * taper);
}
// The taper of a window of kTaperLength values (a whole segment), made once: the window of a whole segment
// reads it rather than divide for every value.
inline constexpr std::size_t kTaperLength = 4096;
[[nodiscard]] const double* whole_segment_taper();
void welch_window_avx2(const std::int32_t* q, std::size_t n, std::int32_t first, int scale, double* z);

// LPC residuals r[i] = x[i] - wrap((sum_j c[j] x[i-1-j]) >> shift) for i in [from, to), i >= order.
void lpc_residuals(const std::int32_t* x, std::size_t from, std::size_t to, const std::int32_t* c, int order,
                   int shift, std::int32_t* r);
void lpc_residuals_avx2(const std::int32_t* x, std::size_t from, std::size_t to, const std::int32_t* c, int order,
                        int shift, std::int32_t* r);

// LPC segments of several blocks restored side by side: each recurrence waits on its newest code, so up to
// kLpcLanes independent ones share the multiplies. x[-8, 0) are a lane's codes before it; coefficients past
// its order are zero. x[i] = r[i] + wrap((sum_j c[j] x[i-1-j]) >> shift) for i < rounds (rounds <= n).
inline constexpr std::size_t kLpcLanes = 4;
struct LpcLane {
  std::int32_t* x = nullptr;
  const std::int32_t* r = nullptr;
  std::size_t n = 0;
  std::array<std::int32_t, 8> c{};
  int shift = 0;  // at most 15
};
void lpc_restore_lanes(std::span<const LpcLane> lanes, std::size_t rounds);
void lpc_restore_lanes_avx2(std::span<const LpcLane> lanes, std::size_t rounds);

// x[i] = previous + d[0] + ... + d[i] for i < n, wrapping.
void running_sum(const std::int32_t* d, std::size_t n, std::int32_t previous, std::int32_t* x);
void running_sum_avx2(const std::int32_t* d, std::size_t n, std::int32_t previous, std::int32_t* x);

// The sign-LMS stages of up to kLmsLanes segments side by side (of one block or several), each from zero
// history (the predictor sign_lms_local, codec/sequence/predictors.cpp): forward from first differences (`in`) to
// residuals (`out`), or inverse from residuals to first differences. `out` may be `in`.
inline constexpr std::size_t kLmsLanes = 16;
struct LmsLane {
  const std::int32_t* in = nullptr;
  std::int32_t* out = nullptr;
  std::size_t n = 0;  // at most one segment
  int taps = 2;       // 2, 4, 8 or 16
  int step = 1;
};
void lms_lanes(std::span<const LmsLane> lanes, bool inverse);
void lms_lanes_avx2(std::span<const LmsLane> lanes, bool inverse);
// The inverse of lanes whose `out` is apart from their `in` in 16-bit arithmetic where that is exact
// (codec/sequence/lms_narrow_avx2.cpp); false where it is not, with `in` unchanged and `out` to be written.
[[nodiscard]] bool lms_inverse_narrow_avx2(std::span<const LmsLane> lanes);
// The forward stage of the lanes whose differences keep 16-bit arithmetic exact, there; copies the others
// (in their order) to `rest`, which has room for all, and returns how many it copied.
[[nodiscard]] std::size_t lms_forward_narrow_avx2(std::span<const LmsLane> lanes, LmsLane* rest);

// The kernels of one tier. The whole-round kernels take groups of 8 rounds of 8 lanes; where a tier has
// none they are null, and the callers' scalar loops take every round.
struct Kernels {
  std::uint32_t (*tokenize)(const std::int32_t* r, std::size_t n, std::uint8_t* tokens);
  void (*autocorrelation)(const double* z, std::size_t n, int order, double* ac);
  void (*welch_window)(const std::int32_t* q, std::size_t n, std::int32_t first, int scale, double* z);
  void (*lpc_residuals)(const std::int32_t* x, std::size_t from, std::size_t to, const std::int32_t* c, int order,
                        int shift, std::int32_t* r);
  void (*running_sum)(const std::int32_t* d, std::size_t n, std::int32_t previous, std::int32_t* x);
  void (*lms_lanes)(std::span<const LmsLane> lanes, bool inverse);
  std::size_t (*read_rounds)(const std::uint8_t* tokens, std::size_t from, std::size_t to, std::size_t length,
                             const std::uint8_t* raw, std::uint64_t& position, std::uint64_t limit,
                             std::int32_t* residuals);
  std::size_t (*write_rounds)(const std::int32_t* residuals, std::size_t from, std::size_t to, std::size_t length,
                              RawBitWriter& out);
  void (*rans_encode_rounds)(RansEncodeLanes* lanes, std::size_t streams, std::size_t from);
  std::size_t (*rans_decode_rounds)(RansLanes* lanes, std::size_t streams, std::size_t from, std::size_t to);
  void (*lpc_restore_lanes)(std::span<const LpcLane> lanes, std::size_t rounds);
  double (*exact_dot)(const double* x, const double* y, std::size_t n);
  void (*extent)(const std::int32_t* q, std::size_t n, std::int32_t& low, std::int32_t& high);
};

// The table of a tier: AVX2 on rimble's Avx tier and up (x86-64 builds), portable below it and elsewhere.
[[nodiscard]] const Kernels& kernels_for(rimble::ProcessorTier tier);

// The table of rimble::processor_tier(), read at each call: an operation takes it once where it starts.
[[nodiscard]] inline const Kernels& kernels() { return kernels_for(rimble::processor_tier()); }

}  // namespace quorvel::sequence
