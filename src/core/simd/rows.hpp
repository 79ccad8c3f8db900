// The row kernels of the probit passes (linear index, row tiles, outer products), each with one
// implementation per instruction set, all doing the same IEEE operations per element in the same
// order. row_kernels() hands out the set for this CPU.
#pragma once

#include <cstddef>

namespace quorbis::core::simd {

// Doubles per vector of the row kernels: tiles and accumulators are padded to multiples of it.
inline constexpr std::size_t kLanes = 4;

struct RowKernels {
  // eta[r] = sum_j x[j * rows + begin + r] * beta[j], summed from 0.0 over j in order, for r < count.
  void (*linear_index)(const double* x, std::size_t rows, std::size_t cols, const double* beta, std::size_t begin,
                       std::size_t count, double* eta) noexcept;
  // values[0] + ... + values[count - 1]: each full vector of kLanes values added lane by lane from 0.0,
  // the lanes as (0 + 1) + (2 + 3), then the values left over in order.
  double (*sum)(const double* values, std::size_t count) noexcept;
  // g[j] = g[j] + sum_r weight[r] * x[j * rows + begin + r] over r < count, for j < cols, the products
  // of each column summed as `sum` does.
  void (*add_weighted_columns)(const double* x, std::size_t rows, std::size_t cols, const double* weight,
                               std::size_t begin, std::size_t count, double* g) noexcept;
  // out[r * out_stride + j] = in[j * in_stride + r] for j < lines and r < length.
  void (*transpose)(const double* in, std::size_t in_stride, std::size_t lines, std::size_t length, double* out,
                    std::size_t out_stride) noexcept;
  // out[r * width + j] = scale[r] * tile[r * width + j] for r < count and j < cols.
  void (*scale_row_tile)(const double* tile, const double* scale, std::size_t count, std::size_t cols,
                         std::size_t width, double* out) noexcept;
  // For each tile row r in order, acc[a][c] = acc[a][c] - factors[r][a] * values[r][c] for a < k and all c
  // of a row of `width` (a multiple of kLanes).
  void (*subtract_outer)(double* acc, std::size_t k, std::size_t width, const double* factors,
                         const double* values, std::size_t count) noexcept;
  // For each tile row s in order, acc[a][c] = acc[a][c] + s[a] * s[c] for a < k and c from a's vector on.
  void (*add_outer)(double* acc, std::size_t k, std::size_t width, const double* values,
                    std::size_t count) noexcept;
  // For each tile row r in order, acc[a][c] = acc[a][c] + factors[r][a] * values[r][c] for a < k and c from
  // a's vector on: the upper triangle of sum_r factors[r] values[r]', symmetric when each factors[r] is a
  // multiple of values[r].
  void (*add_outer_products)(double* acc, std::size_t k, std::size_t width, const double* factors,
                             const double* values, std::size_t count) noexcept;
};

// The AVX2 set when the CPU has it and fast paths are enabled (see cpu.hpp), else the portable one.
const RowKernels& row_kernels() noexcept;

namespace portable {
const RowKernels& row_kernels() noexcept;
}  // namespace portable

namespace avx2 {
// Defined only in builds with the AVX2 path; use only when avx2_supported().
const RowKernels& row_kernels() noexcept;
}  // namespace avx2

}  // namespace quorbis::core::simd
