// rimble/rimble.hpp: the whole public API of the wavelet library.
#pragma once

#include "rimble/cpu_features.hpp"
#include "rimble/processor_tier.hpp"
#include "rimble/err.hpp"
#include "rimble/interfaces.hpp"
#include "rimble/records.hpp"
#include "rimble/border_mode.hpp"
#include "rimble/fast_divide.hpp"
#include "rimble/filter_padding.hpp"
#include "rimble/util.hpp"
#include "rimble/wavelet_n_taps.hpp"
#include "rimble/wavelet_fixed_taps.hpp"
#include "rimble/wavelet2taps.hpp"
#include "rimble/wavelet4taps.hpp"
#include "rimble/wavelet6taps.hpp"
#include "rimble/wavelet8taps.hpp"
#include "rimble/wavelet10taps.hpp"
#include "rimble/wavelet12taps.hpp"
#include "rimble/wavelet16taps.hpp"
#include "rimble/filter_bank.hpp"
#include "rimble/completed.hpp"
#include "rimble/factory.hpp"
#include "rimble/coefficients.hpp"
#include "rimble/cdf53f.hpp"
#include "rimble/cdf97f.hpp"
// The vector kernels are built for x86-64 only.
#if defined(__x86_64__)
#include "rimble/sse/filter_bank.hpp"
#include "rimble/avx/filter_bank.hpp"
#include "rimble/avx/cdf53f.hpp"
#include "rimble/avx/cdf97f.hpp"
#endif
