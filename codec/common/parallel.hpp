// codec/common/parallel.hpp: a fork-join loop over an index range on short-lived threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace quorvel {

// Runs body(i) for i in [0, count) on up to `threads` threads (0: hardware
// concurrency), the calling thread included; returns when all are done.
// Indices are handed out one at a time from a shared counter, so rows of
// uneven cost balance themselves. body must not throw.
//
// The helper threads live for this call only: nothing persists between calls
// and the only shared state is the counter. If the system refuses a thread,
// the threads already started and the calling thread finish the range.
template <class Body>
void parallel_for(std::size_t count, std::size_t threads, Body&& body) {
  if (threads == 0) threads = std::max<std::size_t>(1, std::thread::hardware_concurrency());
  threads = std::min(threads, count);
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next.fetch_add(1, std::memory_order_relaxed); i < count;
         i = next.fetch_add(1, std::memory_order_relaxed)) {
      body(i);
    }
  };
  std::vector<std::jthread> helpers;
  try {
    helpers.reserve(threads > 0 ? threads - 1 : 0);
    for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
  } catch (...) {
    // Fewer helpers than asked for: the work below still covers every index.
  }
  work();
  // jthread's destructor joins, and joining publishes the helpers' writes.
}

}  // namespace quorvel
