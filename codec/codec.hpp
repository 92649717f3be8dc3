// codec/codec.hpp: the whole public API of the signal codec.
#pragma once

#include "codec/aim.hpp"
#include "codec/compressor.hpp"
#include "codec/container.hpp"
#include "codec/decode.hpp"
#include "codec/decompressor.hpp"
#include "codec/deflate.hpp"
#include "codec/error.hpp"
#include "codec/executor.hpp"
#include "codec/frame.hpp"
#include "codec/sequence_coder.hpp"
#include "codec/settings.hpp"
#include "codec/vocabulary.hpp"
#include "codec/v2_decoder.hpp"
#include "codec/v2_encoder.hpp"
