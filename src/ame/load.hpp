// Element access to NumPy float64 buffers, which need not be aligned to 8 bytes.
#pragma once

#include <cstddef>
#include <cstring>

namespace quorbis::ame {

inline double load(const char* p) noexcept {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A column whose elements are adjacent in memory.
struct UnitColumn {
  UnitColumn(const char* first, std::ptrdiff_t) noexcept : data(first) {}
  const char* data;
  double operator[](std::ptrdiff_t r) const noexcept { return load(data + r * std::ptrdiff_t{sizeof(double)}); }
};

// A column with any byte stride (zero and negative included).
struct StridedColumn {
  StridedColumn(const char* first, std::ptrdiff_t step) noexcept : data(first), stride(step) {}
  const char* data;
  std::ptrdiff_t stride;
  double operator[](std::ptrdiff_t r) const noexcept { return load(data + r * stride); }
};

}  // namespace quorbis::ame
