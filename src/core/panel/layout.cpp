#include "core/panel/layout.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "core/panel/interrupt.hpp"
#include "core/parallel/pool.hpp"

namespace quorbis::core::panel {
namespace {

// Rows per task of the copy and the smallest run of rows of a task of the passes.
constexpr std::size_t kTaskRows = 4096;
constexpr std::size_t kCheckRows = 1 << 16;

// The dense level of each code of each dimension (the codes of kept rows, in increasing order).
std::vector<std::vector<std::uint32_t>> dense_levels(const Problem& p, const Removal& removal,
                                                     std::vector<Dimension>& dimensions) {
  std::vector<std::vector<std::uint32_t>> dense(p.dimensions);
  for (std::size_t d = 0; d < p.dimensions; ++d) {
    std::vector<std::uint8_t> seen(p.levels[d], 0);
    for (std::size_t i = 0; i < p.rows(); ++i) {
      if (removal.kept[i]) seen[p.level(i, d)] = 1;
      if (i % kCheckRows == 0) check_interrupt();
    }
    dense[d].assign(p.levels[d], std::numeric_limits<std::uint32_t>::max());
    for (std::size_t g = 0; g < p.levels[d]; ++g) {
      if (!seen[g]) continue;
      dense[d][g] = static_cast<std::uint32_t>(dimensions[d].code.size());
      dimensions[d].code.push_back(g);
    }
  }
  return dense;
}

// The kept rows in the order of their dense levels, the first dimension first, ties in row order: a
// stable counting sort by each dimension from the last to the first, skipped when the rows are in order.
std::vector<std::size_t> sorted_rows(const Problem& p, const Removal& removal,
                                     const std::vector<std::vector<std::uint32_t>>& dense,
                                     const std::vector<Dimension>& dimensions) {
  std::vector<std::size_t> order;
  order.reserve(removal.kept_rows);
  for (std::size_t i = 0; i < p.rows(); ++i) {
    if (removal.kept[i]) order.push_back(i);
  }
  auto key = [&](std::size_t i, std::size_t d) { return dense[d][p.level(i, d)]; };
  bool in_order = true;
  for (std::size_t r = 1; r < order.size() && in_order; ++r) {
    for (std::size_t d = 0; d < p.dimensions; ++d) {
      const std::uint32_t a = key(order[r - 1], d), b = key(order[r], d);
      if (a != b) {
        in_order = a < b;
        break;
      }
    }
  }
  if (in_order) return order;
  std::vector<std::size_t> next(order.size());
  for (std::size_t d = p.dimensions; d-- > 0;) {
    std::vector<std::size_t> start(dimensions[d].levels() + 1, 0);
    for (std::size_t i : order) ++start[key(i, d) + 1];
    for (std::size_t g = 1; g < start.size(); ++g) start[g] += start[g - 1];
    for (std::size_t r = 0; r < order.size(); ++r) {
      next[start[key(order[r], d)]++] = order[r];
      if (r % kCheckRows == 0) check_interrupt();
    }
    order.swap(next);
  }
  return order;
}

}  // namespace

Layout::Layout(const Problem& p, const Removal& removal)
    : rows_(removal.kept_rows), k_(p.k()), dimension_(p.dimensions) {
  if (rows_ >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  const auto dense = dense_levels(p, removal, dimension_);
  const std::vector<std::size_t> order = sorted_rows(p, removal, dense, dimension_);

  endog_ = Buffer(rows_);
  exog_ = Buffer::matrix(rows_, k_);
  if (p.clusters != nullptr) clusters_.resize(rows_);
  cluster_count_ = p.cluster_count;
  // Row by row in the new order: each of the caller's rows is read once, and the copy's columns are
  // written in order.
  parallel::Lease lease;
  auto copy = [&](std::size_t task, std::size_t) {
    const std::size_t end = std::min(rows_, (task + 1) * kTaskRows);
    for (std::size_t r = task * kTaskRows; r < end; ++r) {
      const auto i = static_cast<std::ptrdiff_t>(order[r]);
      endog_[r] = p.endog[i];
      if (p.clusters != nullptr) clusters_[r] = p.clusters[order[r]];
      for (std::size_t j = 0; j < k_; ++j) exog_[j * rows_ + r] = p.exog(i, static_cast<std::ptrdiff_t>(j));
    }
  };
  lease.run((rows_ + kTaskRows - 1) / kTaskRows, copy);

  // Cells: runs of rows with the same level in every dimension.
  const std::size_t D = p.dimensions;
  cell_begin_.push_back(0);
  for (std::size_t r = 0; r < rows_; ++r) {
    if (r % kCheckRows == 0) check_interrupt();
    bool new_cell = r == 0;
    for (std::size_t d = 0; d < D && !new_cell; ++d) {
      new_cell = dense[d][p.level(order[r], d)] != cell_level_[cell_level_.size() - D + d];
    }
    if (new_cell) {
      if (r > 0) cell_begin_.push_back(r);
      for (std::size_t d = 0; d < D; ++d) cell_level_.push_back(dense[d][p.level(order[r], d)]);
    }
  }
  cell_begin_.push_back(rows_);
  if (rows_ == 0) cell_begin_.assign(1, 0);

  // Each dimension's cells by level: consecutive for the first, counting-sorted for the others.
  for (std::size_t d = 0; d < D; ++d) {
    Dimension& dim = dimension_[d];
    dim.level_begin.assign(dim.levels() + 1, 0);
    for (std::size_t c = 0; c < cells(); ++c) ++dim.level_begin[level(c, d) + 1];
    for (std::size_t g = 1; g <= dim.levels(); ++g) dim.level_begin[g] += dim.level_begin[g - 1];
    if (d == 0) continue;
    dim.cells.resize(cells());
    std::vector<std::size_t> next(dim.level_begin.begin(), dim.level_begin.end() - 1);
    for (std::size_t c = 0; c < cells(); ++c) dim.cells[next[level(c, d)]++] = static_cast<std::uint32_t>(c);
  }

  // Tasks: runs of whole cells of at least kTaskRows rows, the last one shorter.
  for (std::size_t c = 0; c < cells();) {
    Task task{c, c};
    while (task.end_cell < cells() && cell_begin_[task.end_cell] - cell_begin_[c] < kTaskRows) ++task.end_cell;
    tasks_.push_back(task);
    c = task.end_cell;
  }
}

void Layout::drop_columns(const std::vector<std::size_t>& columns) {
  std::size_t kept = 0;
  for (std::size_t j = 0; j < k_; ++j) {
    if (std::binary_search(columns.begin(), columns.end(), j)) continue;
    if (kept != j) std::memmove(exog_.data() + kept * rows_, exog_.data() + j * rows_, rows_ * sizeof(double));
    ++kept;
  }
  k_ = kept;
}

}  // namespace quorbis::core::panel
