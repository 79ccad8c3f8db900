// Columns of a chunk, read through the unaligned-safe load of the strided views; the unit-stride
// kind lets the compiler vectorise the sums over rows.
#pragma once

#include <cstddef>

#include "core/strided.hpp"

namespace quorbis::core::ame {

// A column whose elements are adjacent in memory.
struct UnitColumn {
  UnitColumn(const char* first, std::ptrdiff_t) noexcept : data(first) {}
  const char* data;
  double operator[](std::ptrdiff_t r) const noexcept { return core::load_double(data + r * std::ptrdiff_t{sizeof(double)}); }
};

// A column with any byte stride (zero and negative included).
struct StridedColumn {
  StridedColumn(const char* first, std::ptrdiff_t step) noexcept : data(first), stride(step) {}
  const char* data;
  std::ptrdiff_t stride;
  double operator[](std::ptrdiff_t r) const noexcept { return core::load_double(data + r * stride); }
};

}  // namespace quorbis::core::ame
