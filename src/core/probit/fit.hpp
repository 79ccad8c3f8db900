// A whole fit of rows in memory, in one call: the working copies of the rows, the grouping of the
// clusters, the maximisation and the covariance at the estimates. It touches no Python object, so
// the caller runs it with the interpreter lock released.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "core/probit/covariance.hpp"
#include "core/probit/matrix.hpp"
#include "core/probit/optimizer.hpp"
#include "core/strided.hpp"

namespace quorbis::core::probit {

struct FitProblem {
  VectorView endog;  // the nobs outcomes
  MatrixView exog;   // at least nobs rows; the first nobs enter the fit, all of them are copied
  std::uint64_t max_iter = kDefaultMaxIter;
  double tol = kDefaultTol;
  Covariance covariance = Covariance::classical;
  MatrixView cluster_values;  // nobs rows of cluster variables, read when the covariance is clustered
  // Clustering in two or more dimensions (multiway.hpp), read instead of cluster_values: each dimension's
  // cluster codes of the nobs rows.
  std::vector<std::span<const std::uint32_t>> cluster_dimensions;
  bool small_sample = false;  // each term of a multiway covariance times G/(G - 1)
  RowWeights weights;
  bool newton = false;  // finish with Newton steps to the maximum (see Optimizer)
  bool largest_index = false;  // take max_i |x_i.b| at the estimates as well
  // Read endog and exog where they are, without copies: only for arrays that nobody else holds and that
  // readable_in_place accepts.
  bool in_place = false;
};

struct Fit {
  Buffer endog;   // the copy of the outcome that the passes read; empty when read in place
  Buffer design;  // the copy of every row of exog, column-major; empty when read in place
  Optimum optimum;  // its at_optimum holds largest_index when asked for
  CovarianceEstimate cov;
};

// Whether the passes can read the rows where they are: a contiguous outcome, and exog column-major with
// exactly as many rows, both aligned for double.
bool readable_in_place(const VectorView& endog, const MatrixView& exog) noexcept;

Fit fit(const FitProblem& problem);

}  // namespace quorbis::core::probit
