// Rows of a column-major design matrix copied into a row-major tile, the layout in which the outer
// products of rows are accumulated a vector of columns at a time.
#pragma once

#include <cstddef>

namespace quorbis::core::probit {

// out[r * out_stride + j] = in[j * in_stride + r] for j < lines and r < length: lines of `length`
// doubles become columns. Rows begin .. begin + count - 1 of a column-major matrix x with `rows` rows
// and `cols` columns become a row-major tile of row width `width` with
// transpose(x + begin, rows, cols, count, tile, width); the tile's columns from cols on are untouched.
void transpose(const double* in, std::size_t in_stride, std::size_t lines, std::size_t length, double* out,
               std::size_t out_stride) noexcept;

// out[r * width + j] = scale[r] * tile[r * width + j] for r < count and j < cols.
void scale_row_tile(const double* tile, const double* scale, std::size_t count, std::size_t cols,
                    std::size_t width, double* out) noexcept;

}  // namespace quorbis::core::probit
