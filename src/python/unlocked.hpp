// Numeric work with the interpreter lock released, so that other Python threads run meanwhile, and
// with the interpreter's signal handlers run between its tasks, so that Ctrl-C stops it.
#pragma once

#include <Python.h>

#include <utility>

#include "core/parallel/pool.hpp"
#include "python/error.hpp"

namespace quorbis::python {

// The lock released for the life of the object and taken back at its end.
class ReleasedLock {
 public:
  ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

  // Takes the lock briefly to run the signal handlers; true when one raised (its exception stays set).
  // Not while the interpreter shuts down: a thread taking the lock then would be ended mid-computation.
  bool signal_raised() noexcept {
    if (finalizing()) return false;
    PyEval_RestoreThread(state_);
    const bool raised = PyErr_CheckSignals() < 0;
    state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  static bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
  }

  PyThreadState* state_;
};

// Runs body(), which must not touch Python objects, without the lock. An exception raised by a signal
// handler meanwhile ends it as a pending Python error.
template <class Body>
auto without_lock(Body&& body) -> decltype(body()) {
  try {
    ReleasedLock released;
    const core::parallel::InterruptCheck check([&released] { return released.signal_raised(); });
    return std::forward<Body>(body)();
  } catch (const core::parallel::Interrupted&) {
    throw_pending();
  }
}

}  // namespace quorbis::python
