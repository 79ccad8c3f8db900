#include "core/probit/covariance.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "core/probit/multiway.hpp"

namespace quorbis::core::probit {
namespace {

// Singularity is judged on the Hessian equilibrated to a unit diagonal, A = D^-1/2 H D^-1/2 with
// D = |diag H|, so that it does not depend on the units of the columns; every entry of A is then at most 1
// in magnitude. The entries of H carry the rounding of sums over all observations, so an exactly singular
// H (a dummy trap, a duplicated column) leaves Gauss-Jordan a last pivot of tens to hundreds of epsilon,
// growing with n. A pivot p of A costs the inverse a relative error of about that rounding divided by p.
// The threshold 2^12 k epsilon (9e-13 k) is far above the rounding of a singular H and marks the point
// where the variances would keep barely two digits.
constexpr double kPivotEpsilons = 4096.0;

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

// 1 / sqrt(|h_jj|) for each j; nothing when a diagonal entry is zero or not finite (H singular).
std::optional<Vector> equilibrating_scale(const Matrix& h) {
  Vector scale(h.rows());
  for (std::size_t j = 0; j < h.rows(); ++j) {
    const double d = std::fabs(h(j, j));
    if (!(d > 0.0 && d < std::numeric_limits<double>::infinity())) return std::nullopt;
    scale[j] = 1.0 / std::sqrt(d);
  }
  return scale;
}

}  // namespace

std::optional<Matrix> gauss_jordan_inverse(const Matrix& h) {
  const std::size_t k = h.rows();
  const std::optional<Vector> scale = equilibrating_scale(h);
  if (!scale) return std::nullopt;
  const Vector& s = *scale;
  Matrix a(k, 2 * k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) a(r, c) = (h(r, c) * s[r]) * s[c];
    a(r, k + r) = 1.0;
  }
  const double threshold = kPivotEpsilons * static_cast<double>(k) * std::numeric_limits<double>::epsilon();
  for (std::size_t c = 0; c < k; ++c) {
    const std::size_t p = pivot_row(a, c);
    if (std::fabs(a(p, c)) < threshold) return std::nullopt;
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
  // H^-1 = D^-1/2 A^-1 D^-1/2.
  Matrix inverse(k, k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) inverse(r, c) = (a(r, k + c) * s[r]) * s[c];
  }
  return inverse;
}

Matrix classical_covariance(const Matrix& hessian) {
  if (auto inverse = gauss_jordan_inverse(hessian)) return negated(*std::move(inverse));
  return Matrix(hessian.rows(), hessian.cols(), std::numeric_limits<double>::quiet_NaN());
}

Matrix sandwich_covariance(const Matrix& classical, const Matrix& meat) {
  const Matrix bread = negated(classical);
  return multiply(multiply(bread, meat), bread);
}

Wants covariance_wants(Covariance kind, const Clusters* clusters) noexcept {
  return {.hessian = true,
          .score_outer_sum = kind == Covariance::robust,
          .clusters = kind == Covariance::clustered ? clusters : nullptr};
}

namespace {

CovarianceEstimate of_kind(Matrix classical, const Evaluation& at_estimate, Covariance kind, const Clusters* clusters,
                           bool small_sample) {
  if (kind == Covariance::classical) return {std::move(classical)};
  if (kind == Covariance::clustered && clusters != nullptr && !clusters->terms.empty()) {
    return multiway_covariance(classical, at_estimate.cluster_sums, *clusters, small_sample);
  }
  return {sandwich_covariance(classical,
                              kind == Covariance::clustered ? at_estimate.cluster_meat : at_estimate.score_outer_sum)};
}

}  // namespace

CovarianceEstimate estimate_covariance(const Evaluation& at_estimate, Covariance kind, const Clusters* clusters,
                                       bool small_sample) {
  std::optional<Matrix> inverse = gauss_jordan_inverse(at_estimate.hessian);
  const bool singular = !inverse;
  Matrix classical = inverse ? negated(*std::move(inverse)) : classical_covariance(at_estimate.hessian);
  CovarianceEstimate out = of_kind(std::move(classical), at_estimate, kind, clusters, small_sample);
  out.singular_hessian = singular;
  return out;
}

}  // namespace quorbis::core::probit
