// Levels whose outcomes are all equal (all 0 or all 1) have an infinite effect and say nothing about the
// slopes: their rows are left out, and again for the levels that this leaves all equal, over all
// dimensions, until none is left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/panel/problem.hpp"

namespace quorbis::core::panel {

struct Removal {
  std::vector<std::uint8_t> kept;            // of each row, 1 when it stays
  std::size_t kept_rows = 0;
  std::vector<std::size_t> removed_levels;   // of each dimension: levels that had rows and lost them all
};

Removal remove_perfectly_predicted(const Problem& problem);

}  // namespace quorbis::core::panel
