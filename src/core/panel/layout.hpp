// The kept rows of a fit with fixed effects, copied once in the order of their levels: sorted by the level
// of the first dimension, then of the second, and so on, rows of equal levels in their order. Rows of
// equal levels in every dimension form a cell; every sum over a level is a sum over its cells, and every
// sum over a cell runs over its rows in order, so that all sums have an order fixed by the data alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/buffer.hpp"
#include "core/panel/problem.hpp"
#include "core/panel/removal.hpp"

namespace quorbis::core::panel {

// A run of whole cells, the unit of parallel work of the passes over the rows.
struct Task {
  std::size_t first_cell = 0, end_cell = 0;
};

// The levels of one dimension that have rows, numbered 0 .. levels - 1 in the order of their codes.
struct Dimension {
  std::vector<std::size_t> code;          // the caller's code of each level
  std::vector<std::size_t> level_begin;   // levels + 1 offsets into cells
  std::vector<std::uint32_t> cells;       // the cells of each level in cell order; empty for the first
                                          // dimension, whose levels own runs of consecutive cells
  std::size_t levels() const noexcept { return code.size(); }
  std::uint32_t cell(std::size_t position) const noexcept {
    return cells.empty() ? static_cast<std::uint32_t>(position) : cells[position];
  }
};

class Layout {
 public:
  Layout(const Problem& problem, const Removal& removal);

  std::size_t rows() const noexcept { return rows_; }
  std::size_t k() const noexcept { return k_; }
  std::size_t cells() const noexcept { return cell_begin_.size() - 1; }
  std::size_t dimensions() const noexcept { return dimension_.size(); }

  const double* endog() const noexcept { return endog_.data(); }
  // Column-major, column j from exog() + j * rows().
  const double* exog() const noexcept { return exog_.data(); }
  const std::uint32_t* clusters() const noexcept { return clusters_.empty() ? nullptr : clusters_.data(); }
  std::size_t cluster_count() const noexcept { return cluster_count_; }

  std::size_t cell_begin(std::size_t c) const noexcept { return cell_begin_[c]; }
  std::size_t cell_end(std::size_t c) const noexcept { return cell_begin_[c + 1]; }
  // The level of cell c in dimension d.
  std::uint32_t level(std::size_t c, std::size_t d) const noexcept { return cell_level_[c * dimensions() + d]; }
  const Dimension& dimension(std::size_t d) const noexcept { return dimension_[d]; }
  const std::vector<Task>& tasks() const noexcept { return tasks_; }

  // Leaves out the given columns (in increasing order) of the copy.
  void drop_columns(const std::vector<std::size_t>& columns);

 private:
  std::size_t rows_ = 0, k_ = 0;
  Buffer endog_, exog_;
  std::vector<std::uint32_t> clusters_;
  std::size_t cluster_count_ = 0;
  std::vector<std::size_t> cell_begin_;
  std::vector<std::uint32_t> cell_level_;
  std::vector<Dimension> dimension_;
  std::vector<Task> tasks_;
};

}  // namespace quorbis::core::panel
