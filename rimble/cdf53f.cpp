// rimble/cdf53f.cpp: the portable CDF 5/3 executor, built once.
#include "rimble/cdf53f.hpp"

template class rimble::lifting::PortableLifting<rimble::cdf53f::kScheme>;
