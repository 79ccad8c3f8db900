// Predictions row by row: the index eta = x.b or the probability Phi(eta) and, given the covariance V
// of b, the delta-method standard error, sqrt(x V x') for eta and phi(eta) sqrt(x V x') for Phi(eta),
// with the interval eta -/+ z se(eta), taken through Phi for the probability (so it stays in [0, 1]).
#pragma once

#include <optional>

#include "core/strided.hpp"

namespace quorbis::core::margins {

struct PredictionProblem {
  MatrixView exog;                // n x k
  VectorView params;              // k
  std::optional<MatrixView> cov;  // k x k, symmetric: its upper triangle is read
  bool linear = false;            // eta rather than Phi(eta)
  double z = 0.0;                 // the interval's normal quantile
};

// Columns of out, each of n values: the prediction; with cov, then its standard error, the interval's
// lower and upper end. Rows are independent and run on the thread pool.
void predict(const PredictionProblem& problem, double* out);

}  // namespace quorbis::core::margins
