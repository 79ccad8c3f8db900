// The process's worker threads and how a computation borrows them. Results never depend on how many
// threads run: callers split their work into tasks fixed by the size of the data alone and combine
// the tasks' partial results in task order (see reduce.hpp).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

namespace quorbis::core::parallel {

// Thrown on the calling thread when the interrupt check of the running call reported a signal.
struct Interrupted {};

// Installs, for its lifetime, a check that the thread creating it runs between tasks, at most every
// few tens of milliseconds. When the check returns true, the running tasks finish, no new task starts,
// and the computation throws Interrupted on this thread.
class InterruptCheck {
 public:
  explicit InterruptCheck(std::function<bool()> check);
  ~InterruptCheck();
  InterruptCheck(const InterruptCheck&) = delete;
  InterruptCheck& operator=(const InterruptCheck&) = delete;

  // Runs the check of the calling thread if one is installed and it is due; true on a signal.
  static bool due_and_raised();

 private:
  std::function<bool()> check_;
  long long last_ns_;
  InterruptCheck* outer_;
};

// A task of a run: the task's index and the index of the thread running it, below Lease::threads().
class TaskRef {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cv_t<F>, TaskRef>)
  TaskRef(F& f) noexcept  // NOLINT: binds to any callable that outlives the run
      : object_(&f), call_([](void* o, std::size_t task, std::size_t thread) { (*static_cast<F*>(o))(task, thread); }) {}
  void operator()(std::size_t task, std::size_t thread) const { call_(object_, task, thread); }

 private:
  void* object_;
  void (*call_)(void*, std::size_t, std::size_t);
};

class Pool;

// The threads of the process for one computation: the pool, unless another computation holds it, in
// which case the calling thread alone. The pool is created on first use (never before), sized by
// set_num_threads, else by the environment variable QUORBIS_NUM_THREADS, else by available_cpus().
class Lease {
 public:
  Lease();
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  // The number of threads of a run, the calling thread included.
  std::size_t threads() const noexcept;
  // Runs task(i, thread) once for every i < count and returns when all have finished; rethrows the
  // first exception of a task, or Interrupted.
  void run(std::size_t count, TaskRef task);

 private:
  std::shared_ptr<Pool> pool_;
  std::unique_lock<std::mutex> hold_;  // released before pool_, which may be its last owner
};

// The most threads a computation uses, the calling thread included: more are never asked for.
inline constexpr std::size_t kMaxThreads = 1024;

// The number of threads a computation uses, the calling thread included.
std::size_t num_threads();
// From now on, computations use n threads (n >= 1; more than kMaxThreads count as kMaxThreads); 0
// returns to the default.
void set_num_threads(std::size_t n);

}  // namespace quorbis::core::parallel
