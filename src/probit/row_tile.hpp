// Rows of a column-major design matrix copied into a row-major tile, the layout in which the outer
// products of rows are accumulated a vector of columns at a time.
#pragma once

#include <cstddef>

namespace quorbis::probit {

// tile[r * width + j] = x[j * rows + begin + r] for r < count and j < cols (width >= cols); the tile's
// columns from cols on are left as they are.
void gather_row_tile(const double* x, std::size_t rows, std::size_t cols, std::size_t begin, std::size_t count,
                     std::size_t width, double* tile) noexcept;

// out[r * width + j] = scale[r] * tile[r * width + j] for r < count and j < cols.
void scale_row_tile(const double* tile, const double* scale, std::size_t count, std::size_t cols,
                    std::size_t width, double* out) noexcept;

}  // namespace quorbis::probit
