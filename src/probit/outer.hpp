// Sums of outer products over observations, accumulated one observation at a time in row order into
// every entry of a k x k matrix. Rows are stored padded to a multiple of four doubles, so that the
// accumulator is updated in register panels of whole vectors.
#pragma once

#include <cstddef>
#include <vector>

#include "probit/matrix.hpp"

namespace quorbis::probit {

class OuterSum {
 public:
  explicit OuterSum(std::size_t k);

  // The row length of the tiles passed in: k rounded up to a multiple of 4, the padding all zeros.
  std::size_t width() const noexcept { return width_; }

  // For each tile row r, in order: acc[a][c] = acc[a][c] - factors[r][a] * values[r][c].
  void subtract(const double* factors, const double* values, std::size_t count) noexcept;
  // For each tile row s, in order: acc[a][c] = s[c] * s[a] + acc[a][c]. Entry [c][a] receives the same
  // products in the same order as [a][c], so only the upper triangle is accumulated and mirrored.
  // An OuterSum takes either subtract or add, not both.
  void add(const double* tile, std::size_t count) noexcept;

  Matrix result() const;

 private:
  std::size_t k_, width_;
  std::vector<double> acc_;  // width_ x width_
  bool symmetric_ = false;
};

}  // namespace quorbis::probit
