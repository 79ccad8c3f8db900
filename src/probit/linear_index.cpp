#include "probit/linear_index.hpp"

#include "probit/vec4.hpp"

namespace quorbis::probit {
namespace {

constexpr std::size_t kVectors = 4;  // rows in flight: four independent chains of additions

}  // namespace

// Cloned for AVX2 (chosen at load time) and the baseline; both do the same IEEE operations per row.
[[gnu::target_clones("avx2", "default")]] void linear_index(const double* x, std::size_t rows, std::size_t cols,
                                                            const double* beta, std::size_t begin,
                                                            std::size_t count, double* eta) noexcept {
  std::size_t r = 0;
  for (; r + kVectors * kLanes <= count; r += kVectors * kLanes) {
    Vec sum[kVectors] = {};
    for (std::size_t j = 0; j < cols; ++j) {
      const double* column = x + j * rows + begin + r;
      const double b = beta[j];
      for (std::size_t v = 0; v < kVectors; ++v) sum[v] = sum[v] + *reinterpret_cast<const Vec*>(column + v * kLanes) * b;
    }
    for (std::size_t v = 0; v < kVectors; ++v) *reinterpret_cast<Vec*>(eta + r + v * kLanes) = sum[v];
  }
  for (; r < count; ++r) {
    double sum = 0.0;
    for (std::size_t j = 0; j < cols; ++j) sum = sum + x[j * rows + begin + r] * beta[j];
    eta[r] = sum;
  }
}

}  // namespace quorbis::probit
