#include "core/probit/fit.hpp"

#include <cstdint>
#include <optional>

#include "core/probit/clusters.hpp"
#include "core/probit/multiway.hpp"
#include "core/probit/probit.hpp"
#include "core/probit/working_copy.hpp"

namespace quorbis::core::probit {

namespace {

bool aligned(const char* p) noexcept { return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0; }

const double* doubles(const char* p) noexcept { return reinterpret_cast<const double*>(p); }

}  // namespace

bool readable_in_place(const VectorView& endog, const MatrixView& exog) noexcept {
  constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(double));
  const bool contiguous = endog.stride == size || endog.size < 2;
  const bool column_major = (exog.row_stride == size || exog.rows < 2) &&
                            (exog.col_stride == exog.rows * size || exog.cols < 2 || exog.rows == 0);
  return aligned(endog.data) && aligned(exog.data) && contiguous && column_major && exog.rows == endog.size;
}

Fit fit(const FitProblem& problem) {
  std::optional<Clusters> clusters;
  if (problem.covariance == Covariance::clustered) {
    clusters = problem.cluster_dimensions.size() > 1 ? multiway_clusters(problem.cluster_dimensions)
                                                     : combine_cluster_keys(problem.cluster_values);
  }
  Wants at_optimum = covariance_wants(problem.covariance, clusters ? &*clusters : nullptr);
  at_optimum.largest_index = problem.largest_index;
  Fit out;
  const double* endog = doubles(problem.endog.data);
  const double* exog = doubles(problem.exog.data);
  if (!problem.in_place) {
    out.endog = copy_vector(problem.endog);
    out.design = copy_column_major(problem.exog);
    endog = out.endog.data();
    exog = out.design.data();
  }
  const Design design{exog, static_cast<std::size_t>(problem.exog.rows), static_cast<std::size_t>(problem.exog.cols)};
  const Probit probit(endog, static_cast<std::size_t>(problem.endog.size), design, problem.weights);
  out.optimum = maximize(probit, problem.max_iter, problem.tol, at_optimum, problem.newton);
  out.cov = estimate_covariance(*out.optimum.at_optimum, problem.covariance, clusters ? &*clusters : nullptr,
                                problem.small_sample);
  return out;
}

}  // namespace quorbis::core::probit
