// codec/sequence/cascade.cpp: the cascade predictor's portable kernels and the table of each tier.
#include "codec/sequence/cascade.hpp"

#include <vector>

#include "codec/common/kernel_tiers.hpp"
#include "rimble/arch.hpp"

namespace quorvel::sequence {

void cascade_forward(Cascade& c, const std::int32_t* codes, std::size_t n, std::int32_t* r) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t d = minus(codes[i], c.last);
    const std::int32_t r1 = minus(d, c.first.prediction()), r2 = minus(r1, c.second.prediction()),
                       r3 = minus(r2, c.third.prediction()), r4 = minus(r3, c.fourth.prediction());
    c.first.move_weights(r1), c.second.move_weights(r2), c.third.move_weights(r3), c.fourth.move_weights(r4);
    c.first.push(d), c.second.push(r1), c.third.push(r2), c.fourth.push(r3);
    c.last = codes[i];
    r[i] = r4;
  }
  c.position += n;
}

void cascade_inverse(Cascade& c, const std::int32_t* r, std::size_t n, std::int32_t* codes) {
  for (std::size_t i = 0; i < n; ++i) {
    // Every stage's prediction depends on its own history alone: all four are known before the residual.
    const std::int32_t r4 = r[i], r3 = plus(r4, c.fourth.prediction()), r2 = plus(r3, c.third.prediction()),
                       r1 = plus(r2, c.second.prediction()), d = plus(r1, c.first.prediction());
    c.first.move_weights(r1), c.second.move_weights(r2), c.third.move_weights(r3), c.fourth.move_weights(r4);
    c.first.push(d), c.second.push(r1), c.third.push(r2), c.fourth.push(r3);
    codes[i] = c.last = plus(c.last, d);
  }
  c.position += n;
}

namespace {

struct CascadeKernels {
  void (*forward)(Cascade&, const std::int32_t*, std::size_t, std::int32_t*);
  void (*inverse)(Cascade&, const std::int32_t*, std::size_t, std::int32_t*);
};

constexpr KernelTables<CascadeKernels> kTables{
    .portable = {cascade_forward, cascade_inverse},
#if RIMBLE_ARCH(X86_64)
    .avx2 = CascadeKernels{cascade_forward_avx2, cascade_inverse_avx2},
#endif
};

}  // namespace

void Cascade::forward(const std::int32_t* codes, std::size_t n, std::int32_t* r) {
  kTables.of(rimble::processor_tier()).forward(*this, codes, n, r);
}

void Cascade::inverse(const std::int32_t* r, std::size_t n, std::int32_t* codes) {
  kTables.of(rimble::processor_tier()).inverse(*this, r, n, codes);
}

void Cascade::catch_up(const std::int32_t* codes, std::size_t start) {
  std::vector<std::int32_t> passed(start - position);
  forward(codes + position, start - position, passed.data());
}

void cascade_residuals(const std::int32_t* codes, std::size_t n, std::int32_t* r) {
  Cascade cascade;
  cascade.forward(codes, n, r);
}

}  // namespace quorvel::sequence
