#include "core/probit/linear_index.hpp"

#include "core/simd/rows.hpp"

namespace quorbis::core::probit {

void linear_index(const double* x, std::size_t rows, std::size_t cols, const double* beta, std::size_t begin,
                  std::size_t count, double* eta) noexcept {
  simd::row_kernels().linear_index(x, rows, cols, beta, begin, count, eta);
}

}  // namespace quorbis::core::probit
