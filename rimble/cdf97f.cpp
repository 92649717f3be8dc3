// rimble/cdf97f.cpp: the portable CDF 9/7 executor, built once.
#include "rimble/cdf97f.hpp"

template class rimble::lifting::PortableLifting<rimble::cdf97f::kScheme>;
