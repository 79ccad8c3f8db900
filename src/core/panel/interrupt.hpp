// Long loops on the calling thread look for Ctrl-C as the pool does between tasks.
#pragma once

#include "core/parallel/pool.hpp"

namespace quorbis::core::panel {

// Throws parallel::Interrupted when the calling thread's interrupt check is due and reports a signal;
// elsewhere (on a worker thread, or with no check installed) does nothing.
inline void check_interrupt() {
  if (parallel::InterruptCheck::due_and_raised()) throw parallel::Interrupted{};
}

}  // namespace quorbis::core::panel
