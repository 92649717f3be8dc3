// rimble/factory.hpp: the library's front door. Callers name a wavelet, never an
// executor type; the processor tier is read once per constructor call.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "rimble/border_mode.hpp"
#include "rimble/interfaces.hpp"

namespace rimble {

// Code k is db(k+1): 2(k+1) taps.
enum class DaubechiesFamily : std::uint8_t {
  Db1, Db2, Db3, Db4, Db5, Db6, Db7, Db8, Db9, Db10, Db11, Db12,
  Db13, Db14, Db15, Db16, Db17, Db18, Db19, Db20, Db21, Db22, Db23, Db24,
};

// Code k is sym(k+2): 2k+4 taps.
enum class SymletFamily : std::uint8_t {
  Sym2, Sym3, Sym4, Sym5, Sym6, Sym7, Sym8, Sym9, Sym10, Sym11,
  Sym12, Sym13, Sym14, Sym15, Sym16, Sym17, Sym18, Sym19, Sym20,
};

struct Rimble {
  [[nodiscard]] static std::shared_ptr<const DwtExecutor<float>> make_cdf53_f32();
  [[nodiscard]] static std::shared_ptr<const DwtExecutor<float>> make_cdf97_f32();
  [[nodiscard]] static std::shared_ptr<const DwtExecutor<float>> make_daubechies_f32(DaubechiesFamily family,
                                                                                     BorderMode mode);
  [[nodiscard]] static std::shared_ptr<const DwtExecutor<float>> make_symlet_f32(SymletFamily family,
                                                                                 BorderMode mode);
};

// How a sample type supplies single-level filter-bank executors.
template <class T>
struct DwtFactory;

template <>
struct DwtFactory<float> {
  using Handle = std::shared_ptr<const IncompleteDwtExecutor<float>>;
  [[nodiscard]] static Handle wavelet_2_taps(BorderMode mode, const std::array<float, 2>& low);
  [[nodiscard]] static Handle wavelet_4_taps(BorderMode mode, const std::array<float, 4>& low);
  [[nodiscard]] static Handle wavelet_6_taps(BorderMode mode, const std::array<float, 6>& low);
  [[nodiscard]] static Handle wavelet_8_taps(BorderMode mode, const std::array<float, 8>& low);
  [[nodiscard]] static Handle wavelet_10_taps(BorderMode mode, const std::array<float, 10>& low);
  [[nodiscard]] static Handle wavelet_12_taps(BorderMode mode, const std::array<float, 12>& low);
  [[nodiscard]] static Handle wavelet_16_taps(BorderMode mode, const std::array<float, 16>& low);
  [[nodiscard]] static Handle wavelet_n_taps(BorderMode mode, std::span<const float> low);
};

}  // namespace rimble
