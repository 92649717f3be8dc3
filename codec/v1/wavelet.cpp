// codec/v1/wavelet.cpp: a method's wavelet, built by the factory.
#include "codec/v1/wavelet.hpp"

#include "rimble/err.hpp"
#include "rimble/factory.hpp"

namespace quorvel {

std::shared_ptr<const rimble::DwtExecutor<float>> method_executor(CompressionMethod method) {
  if (!is_known(method)) rimble::fatal("method_executor: unknown method");
  const Wavelet wavelet = method_rows[static_cast<std::size_t>(method)].wavelet;
  switch (wavelet.family) {
    case Wavelet::Family::cdf53_lifting: return rimble::Rimble::make_cdf53_f32();
    case Wavelet::Family::cdf97_lifting: return rimble::Rimble::make_cdf97_f32();
    // Family codes count from db1 and sym2.
    case Wavelet::Family::daubechies:
      return rimble::Rimble::make_daubechies_f32(static_cast<rimble::DaubechiesFamily>(wavelet.order - 1),
                                                 rimble::BorderMode::Periodic);
    case Wavelet::Family::symlet:
      return rimble::Rimble::make_symlet_f32(static_cast<rimble::SymletFamily>(wavelet.order - 2),
                                             rimble::BorderMode::Periodic);
  }
  rimble::fatal("method_executor: unknown wavelet family");
}

}  // namespace quorvel
