#include "core/probit/fit.hpp"

#include <optional>

#include "core/probit/clusters.hpp"
#include "core/probit/probit.hpp"
#include "core/probit/working_copy.hpp"

namespace quorbis::core::probit {

Fit fit(const FitProblem& problem) {
  std::optional<Clusters> clusters;
  if (problem.covariance == Covariance::clustered) clusters = combine_cluster_keys(problem.cluster_values);
  const Wants at_optimum = covariance_wants(problem.covariance, clusters ? &*clusters : nullptr);
  Fit out;
  out.endog = copy_vector(problem.endog);
  out.design = copy_column_major(problem.exog);
  const Design design{out.design.data(), static_cast<std::size_t>(problem.exog.rows),
                      static_cast<std::size_t>(problem.exog.cols)};
  const Probit probit(out.endog.data(), out.endog.size(), design);
  out.optimum = maximize(probit, problem.max_iter, problem.tol, at_optimum);
  out.cov = estimate_covariance(*out.optimum.at_optimum, problem.covariance);
  return out;
}

}  // namespace quorbis::core::probit
