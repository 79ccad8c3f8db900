// How many CPUs this process may run on: the scheduler's affinity mask, capped by a CPU quota of its
// control group, or the hardware's count where the system offers neither.
#pragma once

#include <cstddef>

namespace quorbis::core::parallel {

// At least 1.
std::size_t available_cpus() noexcept;

}  // namespace quorbis::core::parallel
