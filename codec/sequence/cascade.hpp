// codec/sequence/cascade.hpp: the cascade predictor, a chain of adaptive stages for audio-like codes.
//
// The codes' first differences go through four sign-error LMS stages in turn (16, 32, 8 and 2 taps), each
// predicting its input from its own last inputs and passing on what it failed to predict. The stages run
// from the block's start and carry on through every segment, whatever predictor a segment uses, so a
// segment's residuals depend on the codes alone. A weight moves by sign(error) * step * a, where a, fixed
// when an input enters the stage's history, is its sign times 1, 2 or 4 as its size stands against the
// stage's running mean of sizes: large inputs teach the stage more, like a normalised LMS without division.
// Integers only, the same on every processor. Weights grow by at most 4 * step per code: in a stream of
// at most 2^22 codes every sum stays inside int64 and every weight inside int32.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "codec/sequence/kernels.hpp"

namespace quorvel::sequence {

// The longest stream whose segments may use the cascade.
inline constexpr std::size_t kMaxCascadeCodes = std::size_t{1} << 22;

// One stage of `Taps` weights, a step of `Step` and weights of `Shift` fraction bits. The weights are kept
// oldest first, each beside the input it multiplies, so that a vector kernel loads both alike.
template <int Taps, int Step, int Shift>
struct CascadeStage {
  static constexpr int kTaps = Taps, kStep = Step, kShift = Shift;
  static constexpr std::size_t kRoom = 256;  // inputs kept before the history slides back to the front

  alignas(32) std::array<std::int32_t, Taps> weights{};
  alignas(32) std::array<std::int32_t, Taps + kRoom> inputs{};  // the history is [next - Taps, next)
  alignas(32) std::array<std::int32_t, Taps + kRoom> moves{};   // a of each input
  std::size_t next = Taps;
  std::int64_t mean = 0;  // running mean of |input|, smoothed over about 16 inputs

  [[nodiscard]] const std::int32_t* history() const { return inputs.data() + next - Taps; }
  [[nodiscard]] const std::int32_t* history_moves() const { return moves.data() + next - Taps; }

  [[nodiscard, gnu::always_inline]] std::int32_t prediction() const {
    const std::int32_t* x = history();
    std::int64_t sum = 0;
    for (int k = 0; k < Taps; ++k) sum += std::int64_t{weights[k]} * x[k];
    return wrap(sum >> Shift);
  }

  [[gnu::always_inline]] void move_weights(std::int32_t residual) {
    const std::int32_t move = ((residual > 0) - (residual < 0)) * Step;
    const std::int32_t* a = history_moves();
    for (int k = 0; k < Taps; ++k) weights[k] += move * a[k];
  }

  [[gnu::always_inline]] void push(std::int32_t input) {
    if (next == inputs.size()) {
      std::copy(inputs.end() - Taps, inputs.end(), inputs.begin());
      std::copy(moves.end() - Taps, moves.end(), moves.begin());
      next = Taps;
    }
    const std::int64_t size = input < 0 ? -std::int64_t{input} : std::int64_t{input};
    const int scale = size > 3 * mean ? 4 : 3 * size > 4 * mean ? 2 : size > 0 ? 1 : 0;
    inputs[next] = input;
    moves[next] = ((input > 0) - (input < 0)) * scale;
    ++next;
    mean += (size - mean) >> 4;
  }
};

// The stages and the code before, from a block's start.
struct Cascade {
  CascadeStage<16, 4, 12> first;
  CascadeStage<32, 4, 13> second;
  CascadeStage<8, 4, 12> third;
  CascadeStage<2, 1, 7> fourth;
  std::int32_t last = 0;
  std::size_t position = 0;  // codes passed

  // The residuals r[0, n) of the next n codes, or those codes from their residuals.
  void forward(const std::int32_t* codes, std::size_t n, std::int32_t* r);
  void inverse(const std::int32_t* r, std::size_t n, std::int32_t* codes);
  // Passes codes[position, start) of its block through the stages, so that the next code is codes[start].
  void catch_up(const std::int32_t* codes, std::size_t start);
};

// The kernels behind Cascade::forward and inverse: portable, and AVX2 (cascade_avx2.cpp) where the tier
// has it; both give the same values.
void cascade_forward(Cascade& cascade, const std::int32_t* codes, std::size_t n, std::int32_t* r);
void cascade_inverse(Cascade& cascade, const std::int32_t* r, std::size_t n, std::int32_t* codes);
void cascade_forward_avx2(Cascade& cascade, const std::int32_t* codes, std::size_t n, std::int32_t* r);
void cascade_inverse_avx2(Cascade& cascade, const std::int32_t* r, std::size_t n, std::int32_t* codes);

// The cascade's residuals of codes[0, n) into r.
void cascade_residuals(const std::int32_t* codes, std::size_t n, std::int32_t* r);

}  // namespace quorvel::sequence
