#include "core/parallel/pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/parallel/cpus.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <signal.h>
#define QUORBIS_POSIX_THREADS 1
#endif

namespace quorbis::core::parallel {
namespace {

constexpr long long kCheckEveryNs = 40'000'000;

thread_local InterruptCheck* current_check = nullptr;

long long now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Workers leave signals to the threads of the interpreter, whose handlers expect them there.
void block_signals() noexcept {
#if defined(QUORBIS_POSIX_THREADS)
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
#endif
}

struct Job {
  Job(TaskRef task_ref, std::size_t task_count) noexcept : task(task_ref), count(task_count) {}

  TaskRef task;
  std::size_t count;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::exception_ptr error;  // the first, under the pool's mutex
};

}  // namespace

InterruptCheck::InterruptCheck(std::function<bool()> check)
    : check_(std::move(check)), last_ns_(now_ns()), outer_(current_check) {
  current_check = this;
}

InterruptCheck::~InterruptCheck() { current_check = outer_; }

bool InterruptCheck::due_and_raised() {
  InterruptCheck* check = current_check;
  if (check == nullptr) return false;
  const long long now = now_ns();
  if (now - check->last_ns_ < kCheckEveryNs) return false;
  check->last_ns_ = now;
  return check->check_();
}

// threads - 1 workers that wait for jobs; the thread that runs a job takes part in it as thread 0.
class Pool {
 public:
  explicit Pool(std::size_t threads) {
    try {
      for (std::size_t t = 1; t < threads; ++t) workers_.emplace_back([this, t] { work(t); });
    } catch (const std::system_error&) {
      // The system refused more threads: run with those it gave.
    }
  }

  ~Pool() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  std::size_t threads() const noexcept { return workers_.size() + 1; }
  std::mutex& lease_mutex() noexcept { return lease_mutex_; }

  // Returns whether the interrupt check stopped the job.
  bool run(Job& job) {
    {
      std::lock_guard lock(mutex_);
      job_ = &job;
      ++generation_;
    }
    wake_.notify_all();
    const bool interrupted = take_tasks(job, 0, true);
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return busy_ == 0; });
    job_ = nullptr;
    return interrupted;
  }

  // Tasks of the job until none is left or it stops; the calling thread checks for interrupts between them.
  bool take_tasks(Job& job, std::size_t thread, bool calling) {
    while (!job.stop.load(std::memory_order_relaxed)) {
      const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
      if (i >= job.count) return false;
      try {
        job.task(i, thread);
      } catch (...) {
        std::lock_guard lock(mutex_);
        if (!job.error) job.error = std::current_exception();
        job.stop = true;
      }
      if (calling && InterruptCheck::due_and_raised()) {
        job.stop = true;
        return true;
      }
    }
    return false;
  }

 private:
  void work(std::size_t thread) {
    block_signals();
    std::uint64_t seen = 0;
    for (;;) {
      Job* job = nullptr;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        job = job_;
        if (job == nullptr) continue;  // woke after that job had finished
        ++busy_;
      }
      take_tasks(*job, thread, false);
      std::lock_guard lock(mutex_);
      if (--busy_ == 0) finished_.notify_all();
    }
  }

  std::mutex lease_mutex_;  // held by the Lease that uses the pool
  std::mutex mutex_;
  std::condition_variable wake_, finished_;
  Job* job_ = nullptr;
  std::uint64_t generation_ = 0;
  std::size_t busy_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

namespace {

// The process's pool and its size. A child of fork() has none of its parent's threads: it drops the
// parent's pool without touching it and makes its own on first use.
struct Registry {
  std::mutex mutex;
  std::shared_ptr<Pool> pool;  // joined at exit by this destructor, or when the last lease ends
  std::size_t requested = 0;   // 0: the default
  std::size_t default_threads = 0;
};

Registry& registry() {
  static Registry r;
#if defined(QUORBIS_POSIX_THREADS)
  static const bool fork_handlers = [] {
    pthread_atfork([] { registry().mutex.lock(); }, [] { registry().mutex.unlock(); },
                   [] {
                     Registry& child = registry();
                     child.mutex.unlock();
                     // The parent's threads do not exist here: its pool must never be joined or freed.
                     new std::shared_ptr<Pool>(std::move(child.pool));
                   });
    return true;
  }();
  (void)fork_handlers;
#endif
  return r;
}

std::size_t environment_threads() {
  const char* text = std::getenv("QUORBIS_NUM_THREADS");
  // Digits only: strtoull would also take leading spaces and a sign, and read "-1" as its largest number.
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || value == 0) return 0;  // not a positive number: the default
  return static_cast<std::size_t>(std::min<unsigned long long>(value, kMaxThreads));
}

std::size_t threads_locked(Registry& r) {
  if (r.requested != 0) return r.requested;
  if (r.default_threads == 0) {
    const std::size_t from_environment = environment_threads();
    r.default_threads = from_environment != 0 ? from_environment : std::min(available_cpus(), kMaxThreads);
  }
  return r.default_threads;
}

}  // namespace

std::size_t num_threads() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return threads_locked(r);
}

void set_num_threads(std::size_t n) {
  Registry& r = registry();
  std::shared_ptr<Pool> old;  // joined after the registry is unlocked
  std::lock_guard lock(r.mutex);
  r.requested = std::min(n, kMaxThreads);
  if (r.pool && r.pool->threads() != threads_locked(r)) old = std::move(r.pool);
}

Lease::Lease() {
  Registry& r = registry();
  {
    std::lock_guard lock(r.mutex);
    const std::size_t threads = threads_locked(r);
    if (threads <= 1) return;
    if (!r.pool) r.pool = std::make_shared<Pool>(threads);
    pool_ = r.pool;
  }
  hold_ = std::unique_lock(pool_->lease_mutex(), std::try_to_lock);
  if (!hold_.owns_lock()) pool_.reset();
}

std::size_t Lease::threads() const noexcept { return pool_ ? pool_->threads() : 1; }

void Lease::run(std::size_t count, TaskRef task) {
  Job job(task, count);
  bool interrupted = false;
  if (pool_ && count > 1) {
    interrupted = pool_->run(job);
  } else {
    for (std::size_t i = 0; i < count && !interrupted; ++i) {
      task(i, 0);
      interrupted = InterruptCheck::due_and_raised();
    }
  }
  if (job.error) std::rethrow_exception(job.error);
  if (interrupted) throw Interrupted{};
}

}  // namespace quorbis::core::parallel
