// Read-only views of float64 data with byte strides, as NumPy lays them out.
#pragma once

#include <cstddef>

namespace quorbis::lib {

struct VectorView {
  const char* data = nullptr;
  std::ptrdiff_t size = 0;
  std::ptrdiff_t stride = 0;

  double operator[](std::ptrdiff_t i) const noexcept {
    return *reinterpret_cast<const double*>(data + i * stride);
  }
};

struct MatrixView {
  const char* data = nullptr;
  std::ptrdiff_t rows = 0, cols = 0;
  std::ptrdiff_t row_stride = 0, col_stride = 0;

  double operator()(std::ptrdiff_t i, std::ptrdiff_t j) const noexcept {
    return *reinterpret_cast<const double*>(data + i * row_stride + j * col_stride);
  }
  VectorView column(std::ptrdiff_t j) const noexcept {
    return {data + j * col_stride, rows, row_stride};
  }
  // Rows [begin, end) as a view of their own.
  MatrixView row_slice(std::ptrdiff_t begin, std::ptrdiff_t end) const noexcept {
    return {data + begin * row_stride, end - begin, cols, row_stride, col_stride};
  }
};

}  // namespace quorbis::lib
