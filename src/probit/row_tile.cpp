#include "probit/row_tile.hpp"

namespace quorbis::probit {
namespace {

using Vec = double __attribute__((vector_size(32), aligned(8)));
constexpr std::size_t kLanes = 4;


}  // namespace

// Four rows by four columns at a time: four column vectors loaded, transposed in registers and stored
// as four row vectors; the leftover rows and columns one value at a time.
[[gnu::target_clones("avx2", "default")]] void gather_row_tile(const double* x, std::size_t rows, std::size_t cols,
                                                               std::size_t begin, std::size_t count,
                                                               std::size_t width, double* tile) noexcept {
  std::size_t j = 0;
  for (; j + kLanes <= cols; j += kLanes) {
    const double* column = x + j * rows + begin;
    std::size_t r = 0;
    for (; r + kLanes <= count; r += kLanes) {
      const Vec a = *reinterpret_cast<const Vec*>(column + r);
      const Vec b = *reinterpret_cast<const Vec*>(column + rows + r);
      const Vec c = *reinterpret_cast<const Vec*>(column + 2 * rows + r);
      const Vec d = *reinterpret_cast<const Vec*>(column + 3 * rows + r);
      const Vec ab_low = __builtin_shufflevector(a, b, 0, 4, 2, 6), ab_high = __builtin_shufflevector(a, b, 1, 5, 3, 7);
      const Vec cd_low = __builtin_shufflevector(c, d, 0, 4, 2, 6), cd_high = __builtin_shufflevector(c, d, 1, 5, 3, 7);
      Vec* out[kLanes];
      for (std::size_t i = 0; i < kLanes; ++i) out[i] = reinterpret_cast<Vec*>(tile + (r + i) * width + j);
      *out[0] = __builtin_shufflevector(ab_low, cd_low, 0, 1, 4, 5);
      *out[1] = __builtin_shufflevector(ab_high, cd_high, 0, 1, 4, 5);
      *out[2] = __builtin_shufflevector(ab_low, cd_low, 2, 3, 6, 7);
      *out[3] = __builtin_shufflevector(ab_high, cd_high, 2, 3, 6, 7);
    }
    for (; r < count; ++r) {
      for (std::size_t c = 0; c < kLanes; ++c) tile[r * width + j + c] = column[c * rows + r];
    }
  }
  for (; j < cols; ++j) {
    const double* column = x + j * rows + begin;
    for (std::size_t r = 0; r < count; ++r) tile[r * width + j] = column[r];
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
