// Rows of a strided matrix as the row kernels read them: column l of m rows at data + l * stride.
#pragma once

#include <cstddef>
#include <vector>

#include "core/strided.hpp"

namespace quorbis::core {

struct ColumnBlock {
  const double* data;
  std::size_t stride;
};

// The view's own memory when its columns are aligned runs of doubles at a fixed distance, else a copy in
// tile: the kernels see the same values either way, so every layout gives the same bits.
ColumnBlock column_block(const MatrixView& rows, std::vector<double>& tile);

// The m values of a vector from row begin on: its own memory when they are aligned and adjacent, else a copy.
const double* unit_run(const VectorView& v, std::ptrdiff_t begin, std::ptrdiff_t m, std::vector<double>& copy);

}  // namespace quorbis::core
