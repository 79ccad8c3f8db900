#include "probit/row_tile.hpp"

#include "probit/vec4.hpp"

namespace quorbis::probit {

// Four lines by four values at a time: four vectors loaded, transposed in registers and stored as four
// vectors; the leftovers one value at a time.
[[gnu::target_clones("avx2", "default")]] void transpose(const double* in, std::size_t in_stride, std::size_t lines,
                                                         std::size_t length, double* out,
                                                         std::size_t out_stride) noexcept {
  std::size_t j = 0;
  for (; j + kLanes <= lines; j += kLanes) {
    const double* line = in + j * in_stride;
    std::size_t r = 0;
    for (; r + kLanes <= length; r += kLanes) {
      const Vec a = *reinterpret_cast<const Vec*>(line + r);
      const Vec b = *reinterpret_cast<const Vec*>(line + in_stride + r);
      const Vec c = *reinterpret_cast<const Vec*>(line + 2 * in_stride + r);
      const Vec d = *reinterpret_cast<const Vec*>(line + 3 * in_stride + r);
      const Vec ab_low = __builtin_shufflevector(a, b, 0, 4, 2, 6), ab_high = __builtin_shufflevector(a, b, 1, 5, 3, 7);
      const Vec cd_low = __builtin_shufflevector(c, d, 0, 4, 2, 6), cd_high = __builtin_shufflevector(c, d, 1, 5, 3, 7);
      Vec* to[kLanes];
      for (std::size_t i = 0; i < kLanes; ++i) to[i] = reinterpret_cast<Vec*>(out + (r + i) * out_stride + j);
      *to[0] = __builtin_shufflevector(ab_low, cd_low, 0, 1, 4, 5);
      *to[1] = __builtin_shufflevector(ab_high, cd_high, 0, 1, 4, 5);
      *to[2] = __builtin_shufflevector(ab_low, cd_low, 2, 3, 6, 7);
      *to[3] = __builtin_shufflevector(ab_high, cd_high, 2, 3, 6, 7);
    }
    for (; r < length; ++r) {
      for (std::size_t i = 0; i < kLanes; ++i) out[r * out_stride + j + i] = line[i * in_stride + r];
    }
  }
  for (; j < lines; ++j) {
    for (std::size_t r = 0; r < length; ++r) out[r * out_stride + j] = in[j * in_stride + r];
  }
}

[[gnu::target_clones("avx2", "default")]] void scale_row_tile(const double* tile, const double* scale,
                                                              std::size_t count, std::size_t cols,
                                                              std::size_t width, double* out) noexcept {
  for (std::size_t r = 0; r < count; ++r) {
    for (std::size_t j = 0; j < cols; ++j) out[r * width + j] = scale[r] * tile[r * width + j];
  }
}

}  // namespace quorbis::probit
