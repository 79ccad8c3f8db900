#include "core/probit/working_copy.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/parallel/pool.hpp"
#include "core/probit/row_tile.hpp"

namespace quorbis::core::probit {

Buffer copy_vector(const VectorView& v) {
  Buffer out(static_cast<std::size_t>(v.size));
  for (std::ptrdiff_t i = 0; i < v.size; ++i) out[static_cast<std::size_t>(i)] = v[i];
  return out;
}

namespace {

// Rows [begin, end) of x into the column-major copy out.
void copy_rows(const MatrixView& x, std::ptrdiff_t begin, std::ptrdiff_t end, double* out) {
  const bool aligned = reinterpret_cast<std::uintptr_t>(x.data) % alignof(double) == 0;
  if (aligned && x.row_stride == sizeof(double)) {  // columns contiguous: one run per column
    for (std::ptrdiff_t j = 0; j < x.cols; ++j) {
      std::memcpy(out + j * x.rows + begin, x.data + j * x.col_stride + begin * x.row_stride,
                  static_cast<std::size_t>(end - begin) * sizeof(double));
    }
    return;
  }
  if (aligned && x.col_stride == sizeof(double) && x.row_stride == x.cols * x.col_stride) {
    transpose(reinterpret_cast<const double*>(x.data) + begin * x.cols, static_cast<std::size_t>(x.cols),
              static_cast<std::size_t>(end - begin), static_cast<std::size_t>(x.cols), out + begin,
              static_cast<std::size_t>(x.rows));
    return;
  }
  constexpr std::ptrdiff_t kRows = 64;  // rows per tile, so each source row is read once
  for (std::ptrdiff_t first = begin; first < end; first += kRows) {
    const std::ptrdiff_t last = std::min(end, first + kRows);
    for (std::ptrdiff_t j = 0; j < x.cols; ++j) {
      double* column = out + j * x.rows;
      for (std::ptrdiff_t i = first; i < last; ++i) column[i] = x(i, j);
    }
  }
}

}  // namespace

Buffer copy_column_major(const MatrixView& x) {
  Buffer out = Buffer::matrix(static_cast<std::size_t>(x.rows), static_cast<std::size_t>(x.cols));
  constexpr std::ptrdiff_t kTaskRows = 8192;
  parallel::Lease lease;
  auto copy_task = [&](std::size_t task, std::size_t) {
    const auto begin = static_cast<std::ptrdiff_t>(task) * kTaskRows;
    copy_rows(x, begin, std::min(x.rows, begin + kTaskRows), out.data());
  };
  lease.run(static_cast<std::size_t>((x.rows + kTaskRows - 1) / kTaskRows), copy_task);
  return out;
}

namespace {

// Rows [begin, end) of one column into out; whether they are all finite.
bool gather_run(const VectorView& column, std::size_t begin, std::size_t end, double* out) {
  if (column.data == nullptr) {
    std::fill(out + begin, out + end, 1.0);
    return true;
  }
  bool finite = true;
  for (std::size_t i = begin; i < end; ++i) {
    const double x = column[static_cast<std::ptrdiff_t>(i)];
    out[i] = x;
    finite = finite && std::isfinite(x);
  }
  return finite;
}

}  // namespace

GatheredColumns gather_columns(const std::vector<VectorView>& columns, std::size_t rows) {
  const std::size_t k = columns.size();
  GatheredColumns out{Buffer::matrix(rows, k), std::vector<bool>(k, true)};
  constexpr std::size_t kTaskRows = 8192;
  const std::size_t tasks = (rows + kTaskRows - 1) / kTaskRows;
  // One flag per task and column, each written by the one thread that runs its task.
  std::vector<unsigned char> finite(tasks * k, 1);
  parallel::Lease lease;
  auto gather_task = [&](std::size_t task, std::size_t) {
    const std::size_t begin = task * kTaskRows, end = std::min(rows, begin + kTaskRows);
    for (std::size_t j = 0; j < k; ++j) {
      finite[task * k + j] = gather_run(columns[j], begin, end, out.design.data() + j * rows) ? 1 : 0;
    }
  };
  lease.run(tasks, gather_task);
  for (std::size_t task = 0; task < tasks; ++task) {
    for (std::size_t j = 0; j < k; ++j) out.finite[j] = out.finite[j] && finite[task * k + j] != 0;
  }
  return out;
}

}  // namespace quorbis::core::probit
