// Covariance of the probit estimates: classical -H^-1 from the Hessian H at the estimates, and the
// sandwich H^-1 M H^-1 around a meat matrix M of score cross-products (plain or clustered).
#pragma once

#include <optional>

#include "probit/matrix.hpp"
#include "probit/probit.hpp"

namespace quorbis::probit {

// Gauss-Jordan elimination with partial pivoting on H equilibrated to a unit diagonal; nothing when H
// is singular: a zero or non-finite diagonal entry, or a pivot below 2^12 k epsilon after equilibration.
std::optional<Matrix> gauss_jordan_inverse(const Matrix& h);

// -H^-1; when the Hessian H is singular, a matrix of NaN and one line on standard error.
Matrix classical_covariance(const Matrix& hessian);

// (B M) B with the bread B = -C.
Matrix sandwich_covariance(const Matrix& classical, const Matrix& meat);

// The classical covariance, or when robust the sandwich around the meat that wants asked for (the
// cluster meat when it names clusters), from the evaluation at the estimates.
Matrix estimate_covariance(const Evaluation& at_estimate, const Wants& wants, bool robust);

}  // namespace quorbis::probit
