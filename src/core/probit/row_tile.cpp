#include "core/probit/row_tile.hpp"

#include "core/simd/rows.hpp"

namespace quorbis::core::probit {

void transpose(const double* in, std::size_t in_stride, std::size_t lines, std::size_t length, double* out,
               std::size_t out_stride) noexcept {
  simd::row_kernels().transpose(in, in_stride, lines, length, out, out_stride);
}

void scale_row_tile(const double* tile, const double* scale, std::size_t count, std::size_t cols,
                    std::size_t width, double* out) noexcept {
  simd::row_kernels().scale_row_tile(tile, scale, count, cols, width, out);
}

}  // namespace quorbis::core::probit
