#include "core/probit/newton.hpp"

#include <algorithm>
#include <cmath>

#include "core/probit/covariance.hpp"
#include "core/probit/optimizer.hpp"

namespace quorbis::core::probit {

double newton_bound(double tol) noexcept {
  constexpr double kFinest = 1e-12;
  if (!(tol < kDefaultTol)) return tol == tol ? kNewtonDecrementBound : kFinest;
  return std::max(kFinest, kNewtonDecrementBound * std::sqrt(std::max(tol, 0.0) / kDefaultTol));
}

std::optional<NewtonStep> newton_step(const Matrix& hessian, const Vector& gradient) {
  const std::optional<Matrix> inverse = gauss_jordan_inverse(hessian);
  if (!inverse) return std::nullopt;
  NewtonStep out{multiply(*inverse, gradient), 0.0};
  for (double& s : out.step) s = -s;
  // g' s = g' (-H)^-1 g >= 0 for a concave likelihood; rounding may leave it a hair below 0 at the maximum.
  // A NaN stays NaN, which no bound is above.
  const double squared = dot(gradient, out.step);
  out.decrement = std::isnan(squared) ? squared : std::sqrt(std::max(0.0, squared));
  return out;
}

}  // namespace quorbis::core::probit
