// The thread pool under stress, for ThreadSanitizer: computations from several threads at once while
// another changes the thread count, an exception from a task, and an interrupt. Exits non-zero when
// a result differs from the sum made on one thread or an error does not arrive.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/parallel/pool.hpp"
#include "core/parallel/reduce.hpp"

namespace parallel = quorbis::core::parallel;

namespace {

constexpr std::size_t kTasks = 1000;

double term(std::size_t task) { return 1.0 / static_cast<double>(task + 1); }

double ordered_sum() {
  parallel::Lease lease;
  std::vector<double> slots(parallel::window(lease, kTasks));
  double total = 0.0;
  parallel::ordered_reduce(
      lease, kTasks, slots, [](std::size_t task, double& slot, std::size_t) { slot = term(task); },
      [&](std::size_t, double slot) { total += slot; });
  return total;
}

bool concurrent_sums_agree() {
  double expected = 0.0;
  for (std::size_t task = 0; task < kTasks; ++task) expected += term(task);
  std::atomic<bool> agree{true};
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        if (ordered_sum() != expected) agree = false;
      }
    });
  }
  std::thread changer([] {
    for (std::size_t i = 0; i < 40; ++i) parallel::set_num_threads(1 + i % 4);
  });
  for (std::thread& caller : callers) caller.join();
  changer.join();
  return agree;
}

bool task_exception_arrives() {
  parallel::set_num_threads(3);
  parallel::Lease lease;
  auto task = [](std::size_t i, std::size_t) {
    if (i == 37) throw std::runtime_error("task 37");
  };
  try {
    lease.run(100, task);
  } catch (const std::runtime_error&) {
    return true;
  }
  return false;
}

bool interrupt_arrives() {
  parallel::set_num_threads(2);
  const parallel::InterruptCheck check([] { return true; });
  parallel::Lease lease;
  auto task = [](std::size_t, std::size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
  try {
    lease.run(100'000, task);
  } catch (const parallel::Interrupted&) {
    return true;
  }
  return false;
}

}  // namespace

int main() {
  const bool sums = concurrent_sums_agree(), exception = task_exception_arrives(), interrupt = interrupt_arrives();
  std::printf("concurrent sums %s, task exception %s, interrupt %s\n", sums ? "ok" : "FAILED",
              exception ? "ok" : "FAILED", interrupt ? "ok" : "FAILED");
  return sums && exception && interrupt ? 0 : 1;
}
