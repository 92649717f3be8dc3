// rimble/rimble.hpp: the whole public API of the wavelet library.
#pragma once

#include "rimble/cpu_features.hpp"
#include "rimble/err.hpp"
#include "rimble/interfaces.hpp"
#include "rimble/records.hpp"
#include "rimble/border_mode.hpp"
#include "rimble/factory.hpp"
#include "rimble/cdf53f.hpp"
#include "rimble/cdf97f.hpp"
#include "rimble/avx/cdf53f.hpp"
#include "rimble/avx/cdf97f.hpp"
