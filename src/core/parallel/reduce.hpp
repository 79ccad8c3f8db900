// Partial results of tasks combined in task order, so that sums come out bit-identical whatever the
// number of threads that computed them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "core/parallel/pool.hpp"

namespace quorbis::core::parallel {

// Tasks in flight at a time: at least 64 (four a thread on larger machines), more while their partial
// results of slot_bytes each fit in 4 MiB. The window bounds the memory of the partial results and the
// number of waits for the last task of a window, never the result itself.
inline std::size_t window(const Lease& lease, std::size_t tasks, std::size_t slot_bytes = 0) noexcept {
  constexpr std::size_t kWindowBytes = std::size_t{4} << 20;
  const std::size_t within_bytes = slot_bytes == 0 ? 0 : kWindowBytes / slot_bytes;
  return std::min(tasks, std::max({std::size_t{64}, 4 * lease.threads(), within_bytes}));
}

// compute(task, slot, thread) for every task < count, in parallel, each into a slot of its own, a window
// of slots.size() tasks at a time; after each window, fold_window(first, slots of the window) on the
// calling thread, which may run parallel work of its own through the lease.
template <class Slot, class Compute, class FoldWindow>
void reduce_windows(Lease& lease, std::size_t count, std::vector<Slot>& slots, Compute&& compute,
                    FoldWindow&& fold_window) {
  for (std::size_t first = 0; first < count; first += slots.size()) {
    const std::size_t in_window = std::min(slots.size(), count - first);
    auto task = [&](std::size_t i, std::size_t thread) { compute(first + i, slots[i], thread); };
    lease.run(in_window, task);
    fold_window(first, std::span<const Slot>(slots.data(), in_window));
  }
}

// As reduce_windows, with fold(task, slot) on the calling thread for every task in task order.
template <class Slot, class Compute, class Fold>
void ordered_reduce(Lease& lease, std::size_t count, std::vector<Slot>& slots, Compute&& compute, Fold&& fold) {
  reduce_windows(lease, count, slots, compute, [&](std::size_t first, std::span<const Slot> window) {
    for (std::size_t i = 0; i < window.size(); ++i) fold(first + i, window[i]);
  });
}

}  // namespace quorbis::core::parallel
