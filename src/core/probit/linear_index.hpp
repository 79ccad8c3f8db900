// The linear index eta_i = x_i . b of a run of rows of a column-major design matrix, each row summed
// from 0.0 over the columns in order; vectorised across rows, so every row's sum keeps its order.
#pragma once

#include <cstddef>

namespace quorbis::core::probit {

// eta[r] for rows begin .. begin + count - 1; column j of x starts at x + j * rows.
void linear_index(const double* x, std::size_t rows, std::size_t cols, const double* beta, std::size_t begin,
                  std::size_t count, double* eta) noexcept;

}  // namespace quorbis::core::probit
