// codec/codec.hpp: the whole public API of the signal codec.
#pragma once
