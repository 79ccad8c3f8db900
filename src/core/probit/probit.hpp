// The probit log-likelihood l(b) = sum_i v_i ln Phi(q_i x_i.b), q_i = 2 y_i - 1, v_i the row's weight (1
// without weights), exact for every index (no clamp of Phi), and the passes over the observations that
// build its gradient, Hessian and score cross-products.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/probit/clusters.hpp"
#include "core/probit/matrix.hpp"

namespace quorbis::core::probit {

// A column-major design matrix: column j starts at data + j * rows.
struct Design {
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
};

// How weights count: a frequency weight v stands for v copies of its row; a probability (sampling) weight
// scales the row's part of a pseudo-likelihood. The two differ in the robust meat only: sum v s s' against
// sum (v s)(v s)', the latter each row its own cluster of weighted scores.
enum class Weighting { frequency, probability };

// A row of weight 0 adds 0 times its terms, which is NaN where its ln Phi is -inf (an index beyond about
// -1e154): callers leave such rows out.
struct RowWeights {
  const double* values = nullptr;  // one finite weight >= 0 per observation; none: each row counts once
  Weighting kind = Weighting::frequency;
};

// What one pass over the observations computes.
struct Wants {
  bool loglike = false;
  bool gradient = false;
  bool hessian = false;
  bool gram = false;  // sum_i q_i^2 x_i x_i', whose -2/pi multiple is the Hessian at beta = 0
  bool score_outer_sum = false;
  const Clusters* clusters = nullptr;  // when given, the cluster meat
  bool largest_index = false;           // max_i |x_i.b|, which tells whether any fitted probability is near 0 or 1
};

// Each sum weighs row i by its weight v_i (1 without weights).
struct Evaluation {
  double loglike = 0.0;
  Vector gradient;         // sum_i v_i lambda_i x_i
  Matrix hessian;          // sum_i -v_i w_i x_i x_i', w_i = -d^2/d eta^2 ln Phi(q_i eta_i)
  Matrix gram;             // sum_i v_i (q_i x_i)(q_i x_i)'
  Matrix score_outer_sum;  // sum_i v_i s_i s_i' (probability weights: sum_i v_i^2 s_i s_i'), s_i = lambda_i x_i
  Matrix cluster_meat;     // sum_g u_g u_g', u_g the sum of v_i s_i over the rows of cluster g, in id order
  Vector cluster_sums;     // the u_g column by column: entry j of u_g at j * clusters + g
  double largest_index = 0.0;  // NaN when some index is
};

// sum_g u_g u_g' from cluster sums kept column by column, as in Evaluation::cluster_sums.
Matrix cluster_meat(const Vector& column_sums, std::size_t clusters, std::size_t k);

// The estimation data of one fit; the passes read rows 0 .. nobs - 1 of the design only. A pass splits
// the rows into tasks of a fixed number of rows, sums each task's rows from zero on whichever thread
// runs it, and adds the tasks' sums in row order: results do not depend on the number of threads.
class Probit {
 public:
  Probit(const double* endog, std::size_t nobs, Design exog, RowWeights weights = {}) noexcept;

  std::size_t nobs() const noexcept { return nobs_; }
  std::size_t k() const noexcept { return exog_.cols; }

  double log_likelihood(const Vector& beta) const;
  // What is wanted, in one pass; each part equals what a pass of its own gives.
  Evaluation evaluate(const Vector& beta, Wants wants) const;

 private:
  const double* endog_;
  std::size_t nobs_;
  Design exog_;
  RowWeights weights_;
};

}  // namespace quorbis::core::probit
