#include "probit/covariance.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "core/platform.hpp"

namespace quorbis::probit {
namespace {

constexpr double kPivotThreshold = 1e-14;

// Row p whose entry in column c is largest in magnitude from row c down; the first wins ties.
std::size_t pivot_row(const Matrix& a, std::size_t c) {
  double best = std::fabs(a(c, c));
  std::size_t p = c;
  for (std::size_t r = c + 1; r < a.rows(); ++r) {
    if (std::fabs(a(r, c)) > best) {
      best = std::fabs(a(r, c));
      p = r;
    }
  }
  return p;
}

// Row r -= f * row c over columns c .. end, with f = a(r, c).
void eliminate(Matrix& a, std::size_t r, std::size_t c) {
  const double f = a(r, c);
  for (std::size_t j = c; j < a.cols(); ++j) a(r, j) = a(r, j) - f * a(c, j);
}

}  // namespace

std::optional<Matrix> gauss_jordan_inverse(const Matrix& h) {
  const std::size_t k = h.rows();
  Matrix a(k, 2 * k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) a(r, c) = h(r, c);
    a(r, k + r) = 1.0;
  }
  for (std::size_t c = 0; c < k; ++c) {
    const std::size_t p = pivot_row(a, c);
    if (std::fabs(a(p, c)) < kPivotThreshold) return std::nullopt;
    if (p != c) {
      for (std::size_t j = 0; j < 2 * k; ++j) std::swap(a(p, j), a(c, j));
    }
    const double v = a(c, c);
    for (std::size_t j = c; j < 2 * k; ++j) a(c, j) = a(c, j) / v;
    for (std::size_t r = c + 1; r < k; ++r) eliminate(a, r, c);
  }
  for (std::size_t c = k; c-- > 1;) {
    for (std::size_t r = 0; r < c; ++r) eliminate(a, r, c);
  }
  Matrix inverse(k, k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) inverse(r, c) = a(r, k + c);
  }
  return inverse;
}

Matrix classical_covariance(const Matrix& hessian) {
  if (auto inverse = gauss_jordan_inverse(hessian)) return negated(*std::move(inverse));
  // A singular Hessian has no inverse: report it and leave no number that looks measured.
  core::write_stderr("Hessian singular => NaN for Cov\n");
  return Matrix(hessian.rows(), hessian.cols(), std::numeric_limits<double>::quiet_NaN());
}

Matrix sandwich_covariance(const Matrix& classical, const Matrix& meat) {
  const Matrix bread = negated(classical);
  return multiply(multiply(bread, meat), bread);
}

}  // namespace quorbis::probit
