// codec/v1/wavelet.hpp: the wavelet executor behind each codec method.
#pragma once

#include <memory>

#include "codec/common/vocabulary.hpp"
#include "rimble/interfaces.hpp"

namespace quorvel {

// A new handle to the method's executor: lifting for the CDF wavelets, the
// Daubechies and symlet filter banks with periodic borders otherwise. The
// only place in the codec that knows the wavelet factory.
[[nodiscard]] std::shared_ptr<const rimble::DwtExecutor<float>> method_executor(CompressionMethod method);

}  // namespace quorvel
