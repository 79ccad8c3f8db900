// Partial results of tasks combined in task order, so that sums come out bit-identical whatever the
// number of threads that computed them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "parallel/pool.hpp"

namespace quorbis::parallel {

// Tasks in flight at a time: bounds the memory of the partial results, not the result itself.
inline std::size_t window(const Lease& lease, std::size_t tasks) noexcept {
  return std::min(tasks, std::max<std::size_t>(64, 4 * lease.threads()));
}

// compute(task, slot, thread) for every task < count, in parallel, each into a slot of its own; then,
// on the calling thread, fold(task, slot) in task order. Slots are reused window by window.
template <class Slot, class Compute, class Fold>
void ordered_reduce(Lease& lease, std::size_t count, std::vector<Slot>& slots, Compute&& compute, Fold&& fold) {
  for (std::size_t first = 0; first < count; first += slots.size()) {
    const std::size_t in_window = std::min(slots.size(), count - first);
    auto task = [&](std::size_t i, std::size_t thread) { compute(first + i, slots[i], thread); };
    lease.run(in_window, task);
    for (std::size_t i = 0; i < in_window; ++i) fold(first + i, slots[i]);
  }
}

}  // namespace quorbis::parallel
