// The Newton step s = -H^-1 g at coefficients with gradient g and Hessian H of the log-likelihood, and
// the Newton decrement sqrt(g' (-H)^-1 g). With the covariance V = (-H)^-1, |s_j| <= decrement * sqrt(V_jj):
// the decrement bounds, in standard errors, how far every coefficient is from the maximum (to first order).
#pragma once

#include <optional>

#include "core/probit/matrix.hpp"

namespace quorbis::core::probit {

// The decrement below which a fit of the default tolerance counts as at the maximum: every coefficient
// within 1e-8 standard errors.
inline constexpr double kNewtonDecrementBound = 1e-8;

// The bound for a fit of tolerance tol: kNewtonDecrementBound from the default tolerance up; below it,
// smaller by the square root of tol's ratio to the default (near the maximum the log-likelihood changes
// by half the squared decrement), but no smaller than 1e-12, far above the decrement's rounding for any
// number of rows a machine holds.
double newton_bound(double tol) noexcept;

struct NewtonStep {
  Vector step;
  double decrement = 0.0;
};

// Nothing when H is singular (by the covariance's test): there are no standard errors to measure by.
std::optional<NewtonStep> newton_step(const Matrix& hessian, const Vector& gradient);

}  // namespace quorbis::core::probit
