#include "core/column_block.hpp"

#include <cstdint>

namespace quorbis::core {
namespace {

constexpr auto kDouble = static_cast<std::ptrdiff_t>(sizeof(double));

bool aligned(const char* p) noexcept { return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0; }

}  // namespace

ColumnBlock column_block(const MatrixView& rows, std::vector<double>& tile) {
  if (aligned(rows.data) && rows.row_stride == kDouble && rows.col_stride >= 0 && rows.col_stride % kDouble == 0) {
    return {reinterpret_cast<const double*>(rows.data), static_cast<std::size_t>(rows.col_stride / kDouble)};
  }
  const auto m = static_cast<std::size_t>(rows.rows);
  const auto k = static_cast<std::size_t>(rows.cols);
  tile.resize(m * k);
  for (std::size_t l = 0; l < k; ++l) {
    for (std::size_t r = 0; r < m; ++r) {
      tile[l * m + r] = rows(static_cast<std::ptrdiff_t>(r), static_cast<std::ptrdiff_t>(l));
    }
  }
  return {tile.data(), m};
}

const double* unit_run(const VectorView& v, std::ptrdiff_t begin, std::ptrdiff_t m, std::vector<double>& copy) {
  const char* first = v.data + begin * v.stride;
  if (aligned(first) && v.stride == kDouble) return reinterpret_cast<const double*>(first);
  copy.resize(static_cast<std::size_t>(m));
  for (std::ptrdiff_t r = 0; r < m; ++r) copy[static_cast<std::size_t>(r)] = v[begin + r];
  return copy.data();
}

}  // namespace quorbis::core
