// The data of a probit with fixed effects, as views of the caller's arrays: an outcome, the slopes'
// columns, one column of level codes per dimension of effects, and optionally cluster ids, in one
// dimension or several.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/strided.hpp"

namespace quorbis::core::panel {

struct Problem {
  core::VectorView endog;              // n outcomes, 0 or 1
  core::MatrixView exog;               // n x k, the slopes' columns
  const std::int64_t* effects = nullptr;  // n x dimensions, row-major: the level of row i in dimension d
  std::size_t dimensions = 0;
  std::vector<std::size_t> levels;     // of each dimension: every code is below it
  const std::uint32_t* clusters = nullptr;  // n cluster ids below cluster_count, or none
  std::size_t cluster_count = 0;
  // Multiway clustering: each dimension's n cluster codes (two dimensions or more), read in place of
  // clusters (see multiway.hpp).
  std::vector<std::span<const std::uint32_t>> cluster_dimensions;

  std::size_t rows() const noexcept { return static_cast<std::size_t>(endog.size); }
  std::size_t k() const noexcept { return static_cast<std::size_t>(exog.cols); }
  std::size_t level(std::size_t row, std::size_t d) const noexcept {
    return static_cast<std::size_t>(effects[row * dimensions + d]);
  }
};

}  // namespace quorbis::core::panel
