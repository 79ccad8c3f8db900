// Weighted least-squares projection of columns on the dummies of the fixed effects, from the sums over
// the cells alone: for each column v, the coefficients a_d of the dimensions minimise
// sum_i w_i (v_i - sum_d a_d[g_d(i)])^2. Alternating projections (Gauss-Seidel over the dimensions: each
// dimension's coefficients the weighted means of what the others leave, Gaure 2013), accelerated by
// Irons and Tuck's extrapolation of every second sweep; with one dimension one sweep is exact. Each
// column is iterated until its own coefficients settle, so they do not depend on the other columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/panel/layout.hpp"

namespace quorbis::core::panel {

// Sums over each cell's rows: of the weights, and of the weighted values of width columns.
struct CellSums {
  std::size_t width = 0;
  std::vector<double> weight;  // cells
  std::vector<double> values;  // cells x width, row-major
};

// Columns [first, first + count) of sums, with the cells' weights replaced by weight (one per cell).
CellSums columns_of(const CellSums& sums, std::size_t first, std::size_t count, std::vector<double> weight);

// The coefficients of each dimension, levels x width row-major.
using Coefficients = std::vector<std::vector<double>>;

Coefficients zero_coefficients(const Layout& layout, std::size_t width);

class Projector {
 public:
  explicit Projector(const Layout& layout);

  // Iterates from the coefficients given (a warm start, or zeros) until no sweep changes a column's
  // coefficients by more than tolerance times its largest coefficient, or max_sweeps; returns the sweeps.
  std::size_t project(const CellSums& sums, Coefficients& a, double tolerance, std::size_t max_sweeps);

 private:
  // What the sweeps of one dimension read, in the order in which they read it: the cells of each level
  // in turn, with their levels in the other dimensions (fixed by the layout), their weights and weighted
  // values (copied in that order at each projection, the buffers kept for the next; the first
  // dimension's cells are in cell order, and its sweeps read the sums themselves).
  struct Plan {
    std::vector<std::uint32_t> cell, other_levels;
    std::vector<std::size_t> task_start;  // runs of whole levels, the tasks of a sweep
    std::vector<double> weight, values, level_weight;
  };
  struct Change;

  void load(const CellSums& sums);
  Change update(Coefficients& a, std::size_t d, const std::vector<char>& active);
  Change sweep(Coefficients& a, const std::vector<char>& active);

  const Layout& layout_;
  const CellSums* sums_ = nullptr;
  std::size_t width_ = 0;
  std::vector<Plan> plans_;
  Coefficients before_, middle_;
};

// out[c * width + j] = sum over the dimensions d in order of a_d[level of cell c in d][j].
void cell_offsets(const Layout& layout, const Coefficients& a, std::size_t width, std::vector<double>& out);

}  // namespace quorbis::core::panel
