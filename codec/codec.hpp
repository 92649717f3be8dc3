// codec/codec.hpp: the whole public API of the signal codec.
#pragma once

#include "codec/aim/aim.hpp"
#include "codec/v1/compressor.hpp"
#include "codec/v1/container.hpp"
#include "codec/front/decode.hpp"
#include "codec/v1/decompressor.hpp"
#include "codec/v1/deflate.hpp"
#include "codec/common/error.hpp"
#include "codec/v1/wavelet.hpp"
#include "codec/front/frame.hpp"
#include "codec/sequence/coder.hpp"
#include "codec/front/settings.hpp"
#include "codec/common/vocabulary.hpp"
#include "codec/v2/decoder.hpp"
#include "codec/v2/encoder.hpp"
