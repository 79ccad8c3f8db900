// One pass over the rows for the sums of problem.hpp, on the thread pool.
#pragma once

#include "core/margins/problem.hpp"

namespace quorbis::core::margins {

// The rows split into tasks fixed by their number alone, summed apart and added in row order: the bits
// do not depend on the number of threads. Entries, scenarios and shapes must be consistent.
MarginSums margin_sums(const MarginProblem& problem);

}  // namespace quorbis::core::margins
