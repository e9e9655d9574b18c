// Splitting a loop over [0, n) into contiguous ranges run on threads.
//
// The body must touch only what its range owns or what no thread changes; an
// exception thrown on any thread (allocation failure) is rethrown on the
// caller's once every thread has finished.
#pragma once

#include <sched.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace quorvane {

// The cores this process may run on.
inline unsigned usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
  return std::max(1u, std::thread::hardware_concurrency());
}

// Calls body(part, begin, end) for `parts` contiguous ranges covering [0, n),
// part 0 on the calling thread. `parts` is at least 1 and at most n (1 for n = 0).
template <typename Body>
void parallel_ranges(std::size_t n, std::size_t parts, Body&& body) {
  parts = std::clamp<std::size_t>(parts, 1, std::max<std::size_t>(n, 1));
  std::vector<std::exception_ptr> thrown(parts);
  auto run = [&](std::size_t part) noexcept {
    try {
      body(part, n * part / parts, n * (part + 1) / parts);
    } catch (...) {
      thrown[part] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> threads;
    threads.reserve(parts - 1);
    for (std::size_t part = 1; part < parts; ++part) threads.emplace_back(run, part);
    run(0);
  }  // joined here
  for (const std::exception_ptr& e : thrown) {
    if (e) std::rethrow_exception(e);
  }
}

}  // namespace quorvane
