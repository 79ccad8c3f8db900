// The row kernels written once over a four-double vector type V, which provides V(double) (all lanes
// the same), V::load and V::store (any double address), + - * lane by lane, and V::transpose(a, b, c, d)
// (rows of a 4 x 4 block to its columns). Every template depends on V, so an instantiation for a type
// with internal linkage, compiled for one instruction set, never stands in for another.
#pragma once

#include <cstddef>

#include "core/simd/rows.hpp"

namespace quorbis::core::simd {

// A group of columns at a time over all the rows, so that few columns stream in at once; every row's
// sum still runs over the columns in order from 0.0.
template <class V>
void linear_index(const double* x, std::size_t rows, std::size_t cols, const double* beta, std::size_t begin,
                  std::size_t count, double* eta) noexcept {
  constexpr std::size_t kGroup = 8;
  for (std::size_t r = 0; r < count; ++r) eta[r] = 0.0;
  for (std::size_t j0 = 0; j0 < cols; j0 += kGroup) {
    const std::size_t group = cols - j0 < kGroup ? cols - j0 : kGroup;
    const double* base = x + j0 * rows + begin;
    std::size_t r = 0;
    for (; r + kLanes <= count; r += kLanes) {
      V sum = V::load(eta + r);
      for (std::size_t j = 0; j < group; ++j) sum = sum + V::load(base + j * rows + r) * V(beta[j0 + j]);
      V::store(eta + r, sum);
    }
    for (; r < count; ++r) {
      double sum = eta[r];
      for (std::size_t j = 0; j < group; ++j) sum = sum + base[j * rows + r] * beta[j0 + j];
      eta[r] = sum;
    }
  }
}

// The lanes of a sum added as (0 + 1) + (2 + 3).
template <class V>
double lane_total(V sum) noexcept {
  double lane[kLanes];
  V::store(lane, sum);
  return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

template <class V>
double sum(const double* values, std::size_t count) noexcept {
  V lanes(0.0);
  std::size_t r = 0;
  for (; r + kLanes <= count; r += kLanes) lanes = lanes + V::load(values + r);
  double total = lane_total(lanes);
  for (; r < count; ++r) total = total + values[r];
  return total;
}

// Columns columns from x, whose column c starts at x + c * rows; their sums run side by side.
template <class V, std::size_t Columns>
void add_weighted_group(const double* x, std::size_t rows, const double* weight, std::size_t count,
                        double* g) noexcept {
  V lanes[Columns];
  for (std::size_t c = 0; c < Columns; ++c) lanes[c] = V(0.0);
  std::size_t r = 0;
  for (; r + kLanes <= count; r += kLanes) {
    const V w = V::load(weight + r);
    for (std::size_t c = 0; c < Columns; ++c) lanes[c] = lanes[c] + w * V::load(x + c * rows + r);
  }
  for (std::size_t c = 0; c < Columns; ++c) {
    double total = lane_total(lanes[c]);
    for (std::size_t i = r; i < count; ++i) total = weight[i] * x[c * rows + i] + total;
    g[c] = g[c] + total;
  }
}

template <class V>
void add_weighted_columns(const double* x, std::size_t rows, std::size_t cols, const double* weight,
                          std::size_t begin, std::size_t count, double* g) noexcept {
  constexpr std::size_t kGroup = 8;
  const double* first = x + begin;
  std::size_t j = 0;
  for (; j + kGroup <= cols; j += kGroup) {
    add_weighted_group<V, kGroup>(first + j * rows, rows, weight, count, g + j);
  }
  first += j * rows;
  g += j;
  switch (cols - j) {
    case 7: return add_weighted_group<V, 7>(first, rows, weight, count, g);
    case 6: return add_weighted_group<V, 6>(first, rows, weight, count, g);
    case 5: return add_weighted_group<V, 5>(first, rows, weight, count, g);
    case 4: return add_weighted_group<V, 4>(first, rows, weight, count, g);
    case 3: return add_weighted_group<V, 3>(first, rows, weight, count, g);
    case 2: return add_weighted_group<V, 2>(first, rows, weight, count, g);
    case 1: return add_weighted_group<V, 1>(first, rows, weight, count, g);
    default: return;
  }
}

// 4 x Blocks lines at a time, Blocks blocks of four lines by four values transposed in
// registers: each run of out receives 4 x Blocks adjacent values, a whole cache line for two blocks.
template <class V, std::size_t Blocks>
void transpose_lines(const double* in, std::size_t in_stride, std::size_t length, double* out,
                     std::size_t out_stride) noexcept {
  std::size_t r = 0;
  for (; r + kLanes <= length; r += kLanes) {
    for (std::size_t b = 0; b < Blocks; ++b) {
      const double* line = in + b * kLanes * in_stride + r;
      V v[kLanes] = {V::load(line), V::load(line + in_stride), V::load(line + 2 * in_stride),
                     V::load(line + 3 * in_stride)};
      V::transpose(v[0], v[1], v[2], v[3]);
      for (std::size_t i = 0; i < kLanes; ++i) V::store(out + (r + i) * out_stride + b * kLanes, v[i]);
    }
  }
  for (; r < length; ++r) {
    for (std::size_t i = 0; i < Blocks * kLanes; ++i) out[r * out_stride + i] = in[i * in_stride + r];
  }
}

template <class V>
void transpose(const double* in, std::size_t in_stride, std::size_t lines, std::size_t length, double* out,
               std::size_t out_stride) noexcept {
  std::size_t j = 0;
  for (; j + 2 * kLanes <= lines; j += 2 * kLanes) {
    transpose_lines<V, 2>(in + j * in_stride, in_stride, length, out + j, out_stride);
  }
  if (j + kLanes <= lines) {
    transpose_lines<V, 1>(in + j * in_stride, in_stride, length, out + j, out_stride);
    j += kLanes;
  }
  for (; j < lines; ++j) {
    for (std::size_t r = 0; r < length; ++r) out[r * out_stride + j] = in[j * in_stride + r];
  }
}

// Left to the compiler's vectoriser, for the instruction set of the file that instantiates it.
template <class V>
void scale_row_tile(const double* tile, const double* scale, std::size_t count, std::size_t cols,
                    std::size_t width, double* out) noexcept {
  for (std::size_t r = 0; r < count; ++r) {
    for (std::size_t j = 0; j < cols; ++j) out[r * width + j] = scale[r] * tile[r * width + j];
  }
}

// Accumulator rows a .. a + Rows - 1, columns [c, c + 4 * Vectors), over all tile rows r:
// acc[a][c] = acc[a][c] -/+ factors[r][a] * values[r][c].
template <class V, bool Subtract, std::size_t Rows, std::size_t Vectors>
inline void update_panel(double* acc, std::size_t width, std::size_t a, std::size_t c, const double* factors,
                         const double* values, std::size_t count) {
  V sum[Rows][Vectors];
  for (std::size_t i = 0; i < Rows; ++i) {
    for (std::size_t v = 0; v < Vectors; ++v) sum[i][v] = V::load(acc + (a + i) * width + c + v * kLanes);
  }
  for (std::size_t r = 0; r < count; ++r) {
    const double* f = factors + r * width + a;
    const double* x = values + r * width + c;
    for (std::size_t i = 0; i < Rows; ++i) {
      for (std::size_t v = 0; v < Vectors; ++v) {
        const V p = V(f[i]) * V::load(x + v * kLanes);
        sum[i][v] = Subtract ? sum[i][v] - p : sum[i][v] + p;
      }
    }
  }
  for (std::size_t i = 0; i < Rows; ++i) {
    for (std::size_t v = 0; v < Vectors; ++v) V::store(acc + (a + i) * width + c + v * kLanes, sum[i][v]);
  }
}

// Accumulator rows a .. a + Rows - 1 from column `from` to the end of the row, in panels of Vectors
// vectors and one of whatever is left.
template <class V, bool Subtract, std::size_t Rows, std::size_t Vectors>
inline void update_rows(double* acc, std::size_t width, std::size_t a, std::size_t from, const double* factors,
                        const double* values, std::size_t count) {
  std::size_t c = from;
  for (; c + Vectors * kLanes <= width; c += Vectors * kLanes) {
    update_panel<V, Subtract, Rows, Vectors>(acc, width, a, c, factors, values, count);
  }
  switch ((width - c) / kLanes) {
    case 2: update_panel<V, Subtract, Rows, 2>(acc, width, a, c, factors, values, count); break;
    case 1: update_panel<V, Subtract, Rows, 1>(acc, width, a, c, factors, values, count); break;
    default: break;
  }
}

// The panels keep at most twelve vector sums in registers: three rows of up to three vectors for narrow
// widths, six rows of two vectors otherwise. Rows from k on belong to padding columns and stay untouched.
// Each row panel starts at the vector holding its first diagonal entry, which leaves out only entries
// below the diagonal: the sums are symmetric, and only their upper triangle is read.
template <class V, bool Subtract>
inline void update(double* acc, std::size_t k, std::size_t width, const double* factors, const double* values,
                   std::size_t count) {
  constexpr std::size_t kNarrow = 3 * kLanes;  // widths up to this are updated a whole row at a time
  auto from = [](std::size_t a) { return a / kLanes * kLanes; };
  std::size_t a = 0;
  if (width > kNarrow) {
    for (; a + 6 <= k; a += 6) update_rows<V, Subtract, 6, 2>(acc, width, a, from(a), factors, values, count);
  }
  for (; a + 3 <= k; a += 3) update_rows<V, Subtract, 3, 3>(acc, width, a, from(a), factors, values, count);
  if (k - a == 2) update_rows<V, Subtract, 2, 3>(acc, width, a, from(a), factors, values, count);
  if (k - a == 1) update_rows<V, Subtract, 1, 3>(acc, width, a, from(a), factors, values, count);
}

template <class V>
void subtract_outer(double* acc, std::size_t k, std::size_t width, const double* factors, const double* values,
                    std::size_t count) noexcept {
  update<V, true>(acc, k, width, factors, values, count);
}

template <class V>
void add_outer(double* acc, std::size_t k, std::size_t width, const double* values, std::size_t count) noexcept {
  update<V, false>(acc, k, width, values, values, count);
}

template <class V>
void add_outer_products(double* acc, std::size_t k, std::size_t width, const double* factors, const double* values,
                        std::size_t count) noexcept {
  update<V, false>(acc, k, width, factors, values, count);
}

template <class V>
constexpr RowKernels row_kernel_table() noexcept {
  return {linear_index<V>,    sum<V>,       add_weighted_columns<V>, transpose<V>, scale_row_tile<V>,
          subtract_outer<V>, add_outer<V>, add_outer_products<V>};
}

}  // namespace quorbis::core::simd
