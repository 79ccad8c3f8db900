#include "probit/outer.hpp"

#include <algorithm>

#include "simd/rows.hpp"

namespace quorbis::probit {

using simd::kLanes;

OuterSum::OuterSum(std::size_t k) : k_(k), width_((k + kLanes - 1) / kLanes * kLanes), acc_(width_ * width_, 0.0) {}

void OuterSum::subtract(const double* factors, const double* values, std::size_t count) noexcept {
  simd::row_kernels().subtract_outer(acc_.data(), k_, width_, factors, values, count);
}

void OuterSum::add(const double* tile, std::size_t count) noexcept {
  symmetric_ = true;
  simd::row_kernels().add_outer(acc_.data(), k_, width_, tile, count);
}

Matrix OuterSum::result() const {
  Matrix m(k_, k_);
  for (std::size_t a = 0; a < k_; ++a) {
    for (std::size_t c = 0; c < k_; ++c) {
      const std::size_t row = symmetric_ ? std::min(a, c) : a, column = symmetric_ ? std::max(a, c) : c;
      m(a, c) = acc_[row * width_ + column];
    }
  }
  return m;
}

}  // namespace quorbis::probit
