// Read-only views of float64 data with byte strides, as NumPy lays them out.
#pragma once

#include <cstddef>
#include <cstring>

namespace quorbis::core {

// NumPy arrays need not be aligned (a field of a packed record, a buffer at an odd offset), so every
// element is read by memcpy, which compiles to a plain load where the hardware allows it.
inline double load_double(const char* p) noexcept {
  double value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

struct VectorView {
  const char* data = nullptr;
  std::ptrdiff_t size = 0;
  std::ptrdiff_t stride = 0;

  double operator[](std::ptrdiff_t i) const noexcept {
    return load_double(data + i * stride);
  }
};

struct MatrixView {
  const char* data = nullptr;
  std::ptrdiff_t rows = 0, cols = 0;
  std::ptrdiff_t row_stride = 0, col_stride = 0;

  double operator()(std::ptrdiff_t i, std::ptrdiff_t j) const noexcept {
    return load_double(data + i * row_stride + j * col_stride);
  }
  VectorView column(std::ptrdiff_t j) const noexcept {
    return {data + j * col_stride, rows, row_stride};
  }
  // Rows [begin, end) as a view of their own.
  MatrixView row_slice(std::ptrdiff_t begin, std::ptrdiff_t end) const noexcept {
    return {data + begin * row_stride, end - begin, cols, row_stride, col_stride};
  }
};

}  // namespace quorbis::core
