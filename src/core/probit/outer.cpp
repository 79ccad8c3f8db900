#include "core/probit/outer.hpp"

#include <algorithm>

#include "core/simd/rows.hpp"

namespace quorbis::core::probit {

OuterSum::OuterSum(std::size_t k) : k_(k), width_(width_of(k)), acc_(width_ * width_, 0.0) {}

void OuterSum::subtract(const double* factors, const double* values, std::size_t count) noexcept {
  simd::row_kernels().subtract_outer(acc_.data(), k_, width_, factors, values, count);
}

void OuterSum::add(const double* tile, std::size_t count) noexcept {
  simd::row_kernels().add_outer(acc_.data(), k_, width_, tile, count);
}

void OuterSum::add(const double* factors, const double* values, std::size_t count) noexcept {
  simd::row_kernels().add_outer_products(acc_.data(), k_, width_, factors, values, count);
}

void OuterSum::add(const OuterSum& part) noexcept {
  for (std::size_t i = 0; i < acc_.size(); ++i) acc_[i] = acc_[i] + part.acc_[i];
}

void OuterSum::clear() noexcept { std::fill(acc_.begin(), acc_.end(), 0.0); }

Matrix OuterSum::result() const {
  Matrix m(k_, k_);
  for (std::size_t a = 0; a < k_; ++a) {
    for (std::size_t c = 0; c < k_; ++c) {
      m(a, c) = acc_[std::min(a, c) * width_ + std::max(a, c)];
    }
  }
  return m;
}

}  // namespace quorbis::core::probit
