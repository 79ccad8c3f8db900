// The rows of a task of the layout in blocks that fit the L1 cache, and the runs of one cell within a
// block: the shape of every pass over the rows of a fit with fixed effects.
#pragma once

#include <algorithm>
#include <cstddef>

#include "core/panel/layout.hpp"

namespace quorbis::core::panel {

inline constexpr std::size_t kBlock = 256;

// visit(begin, count, cell) for the task's rows begin .. begin + count - 1 in blocks of kBlock, cell the
// cell of row begin.
template <class Visit>
void for_each_block(const Layout& layout, const Task& task, Visit&& visit) {
  const std::size_t end = layout.cell_begin(task.end_cell);
  std::size_t cell = task.first_cell;
  for (std::size_t begin = layout.cell_begin(task.first_cell); begin < end; begin += kBlock) {
    while (layout.cell_end(cell) <= begin) ++cell;
    visit(begin, std::min(kBlock, end - begin), cell);
  }
}

// visit(cell, offset, count) for the runs of rows of one cell in the block begin .. begin + count - 1
// whose first row lies in cell, offset counted from begin.
template <class Visit>
void for_each_segment(const Layout& layout, std::size_t begin, std::size_t count, std::size_t cell, Visit&& visit) {
  for (std::size_t row = begin; row < begin + count; ++cell) {
    const std::size_t stop = std::min(begin + count, layout.cell_end(cell));
    visit(cell, row - begin, stop - row);
    row = stop;
  }
}

}  // namespace quorbis::core::panel
