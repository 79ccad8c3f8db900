// Covariance of the probit estimates: classical -H^-1 from the Hessian H at the estimates, and the
// sandwich H^-1 M H^-1 around a meat matrix M of score cross-products (plain, clustered, or multiway).
#pragma once

#include <optional>

#include "core/probit/matrix.hpp"
#include "core/probit/probit.hpp"

namespace quorbis::core::probit {

// The covariance a fit reports: classical, robust (the sandwich around the score cross-products) or
// cluster-robust (the sandwich around the cross-products of the clusters' score sums).
enum class Covariance { classical, robust, clustered };

// Gauss-Jordan elimination with partial pivoting on H equilibrated to a unit diagonal; nothing when H
// is singular: a zero or non-finite diagonal entry, or a pivot below 2^12 k epsilon after equilibration.
std::optional<Matrix> gauss_jordan_inverse(const Matrix& h);

// -H^-1; when the Hessian H is singular, a matrix of NaN: no number that looks measured.
Matrix classical_covariance(const Matrix& hessian);

// (B M) B with the bread B = -C.
Matrix sandwich_covariance(const Matrix& classical, const Matrix& meat);

// What the pass at the estimates must compute for a covariance of that kind: the Hessian, and the meat
// of the sandwich. clusters (the grouping of the rows) is read only for a cluster-robust covariance.
Wants covariance_wants(Covariance kind, const Clusters* clusters) noexcept;

struct CovarianceEstimate {
  Matrix cov;
  std::size_t negative_eigenvalues = 0;  // set to 0 to make a multiway covariance positive semi-definite
  bool singular_hessian = false;  // the Hessian had no inverse, so cov is NaN; the caller reports it
};

// The covariance of that kind from the pass at the estimates that covariance_wants asked for. clusters
// with terms (see multiway.hpp) make a clustered one multiway, each term's meat times G/(G - 1) with
// small_sample; a one-way covariance has no factor.
CovarianceEstimate estimate_covariance(const Evaluation& at_estimate, Covariance kind,
                                       const Clusters* clusters = nullptr, bool small_sample = false);

}  // namespace quorbis::core::probit
