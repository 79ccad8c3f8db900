// A whole fit of rows in memory, in one call: the working copies of the rows, the grouping of the
// clusters, the maximisation and the covariance at the estimates. It touches no Python object, so
// the caller runs it with the interpreter lock released.
#pragma once

#include <cstdint>

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
};

struct Fit {
  Buffer endog;   // the copy of the outcome that the passes read
  Buffer design;  // the copy of every row of exog, column-major
  Optimum optimum;
  Matrix cov;
};

Fit fit(const FitProblem& problem);

}  // namespace quorbis::core::probit
