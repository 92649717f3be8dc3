// codec/codec.hpp: the signal codec as its callers use it: settings to a container of either version and
// back, chunk frames, version 1's own encoders and decoder, and the words and errors they share. Benches
// and tests reach the parts inside (codec/sequence, the version-2 stages, DEFLATE) through their own headers.
#pragma once

#include "codec/aim/aim.hpp"
#include "codec/common/error.hpp"
#include "codec/common/format.hpp"
#include "codec/common/runtime.hpp"
#include "codec/common/vocabulary.hpp"
#include "codec/front/decode.hpp"
#include "codec/front/frame.hpp"
#include "codec/front/settings.hpp"
#include "codec/v1/compressor.hpp"
#include "codec/v1/container.hpp"
#include "codec/v1/decompressor.hpp"
