// Symmetric sums of outer products over observations, accumulated one observation at a time in row
// order into the upper triangle of a k x k matrix and mirrored. Rows are stored padded to a multiple
// of four doubles, so that the accumulator is updated in register panels of whole vectors.
#pragma once

#include <cstddef>
#include <vector>

#include "core/probit/matrix.hpp"

namespace quorbis::core::probit {

class OuterSum {
 public:
  explicit OuterSum(std::size_t k);

  // The row length of the tiles passed in: k rounded up to a multiple of 4, the padding all zeros.
  std::size_t width() const noexcept { return width_; }
  static std::size_t width_of(std::size_t k) noexcept { return (k + 3) / 4 * 4; }

  // For each tile row r, in order: acc[a][c] = acc[a][c] - factors[r][a] * values[r][c], for a <= c;
  // the sum is symmetric when factors[r] is a multiple of values[r], and [c][a] mirrors [a][c].
  void subtract(const double* factors, const double* values, std::size_t count) noexcept;
  // For each tile row s, in order: acc[a][c] = s[c] * s[a] + acc[a][c]. Entry [c][a] receives the same
  // products in the same order as [a][c], so only the upper triangle is accumulated and mirrored.
  void add(const double* tile, std::size_t count) noexcept;
  // For each tile row r, in order: acc[a][c] = factors[r][a] * values[r][c] + acc[a][c], for a <= c; the
  // sum of a weighted outer product when factors[r] is values[r] times the row's weight.
  void add(const double* factors, const double* values, std::size_t count) noexcept;
  // acc = acc + part.acc, entry by entry: sums over a run of rows continued by the sums over the next.
  void add(const OuterSum& part) noexcept;
  // Back to zero, for the sums over another run of rows.
  void clear() noexcept;

  Matrix result() const;
  // The number of doubles held.
  std::size_t values() const noexcept { return acc_.size(); }

 private:
  std::size_t k_, width_;
  std::vector<double> acc_;  // width_ x width_
};

}  // namespace quorbis::core::probit
