// rimble/filter_bank.cpp: the plain parts shared by every filter-bank tier.
#include "rimble/filter_bank.hpp"

namespace rimble::filter_bank {

void check_filter_length(std::size_t taps) {
  if (taps < 2 || taps % 2 != 0) fatal("internal error: a filter bank needs an even number of taps, at least 2");
}

}  // namespace rimble::filter_bank
