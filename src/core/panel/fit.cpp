#include "core/panel/fit.hpp"

#include <algorithm>
#include <limits>

#include "core/panel/correction.hpp"
#include "core/panel/covariance.hpp"
#include "core/panel/layout.hpp"
#include "core/panel/multiway.hpp"
#include "core/panel/removal.hpp"

namespace quorbis::core::panel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The covariance at the estimates; terms hold the rows' terms there.
probit::CovarianceEstimate covariance_at(const Layout& layout, RowTerms& terms, const Estimates& at,
                                         probit::Covariance kind, const Clustering& clustering) {
  const CellSums* sums = &at.sums;
  Likelihood here;
  if (at.sums.width != layout.k() + 1) {  // the effects' fit kept the residual's sums alone
    likelihood_pass(layout, at.beta, at.offsets, terms, CellSumsOf::columns_and_residual, here);
    sums = &here.sums;
  }
  const Projected columns = project_columns(layout, *sums, at.projections, layout.k() + 1);
  return slopes_covariance(layout, terms, columns, kind, clustering);
}

// The estimates in the caller's terms: slopes and covariance of all k columns, effects by code.
Report report(const Layout& layout, const Problem& problem, const Estimates& at,
              const probit::CovarianceEstimate& estimate, const std::vector<std::size_t>& omitted) {
  const Matrix& cov = estimate.cov;
  const std::size_t k = problem.k();
  std::vector<std::size_t> column;
  for (std::size_t j = 0; j < k; ++j) {
    if (!std::binary_search(omitted.begin(), omitted.end(), j)) column.push_back(j);
  }
  Report out;
  out.params.assign(k, kNaN);
  out.cov = Matrix(k, k, kNaN);
  for (std::size_t a = 0; a < column.size(); ++a) {
    out.params[column[a]] = at.beta[a];
    for (std::size_t b = 0; b < column.size(); ++b) out.cov(column[a], column[b]) = cov(a, b);
  }
  for (std::size_t d = 0; d < layout.dimensions(); ++d) {
    const Dimension& dim = layout.dimension(d);
    std::vector<double> effects(problem.levels[d], kNaN);
    for (std::size_t g = 0; g < dim.levels(); ++g) effects[dim.code[g]] = at.effects[d][g];
    out.effects.push_back(std::move(effects));
  }
  out.negative_eigenvalues = estimate.negative_eigenvalues;
  out.loglike = at.loglike;
  out.iterations = at.iterations;
  out.converged = at.converged;
  return out;
}

}  // namespace

std::vector<double> offsets_of(const Layout& layout, const std::vector<std::vector<double>>& effects) {
  Coefficients dense(layout.dimensions());
  for (std::size_t d = 0; d < layout.dimensions(); ++d) {
    const Dimension& dim = layout.dimension(d);
    for (std::size_t g = 0; g < dim.levels(); ++g) dense[d].push_back(effects[d][dim.code[g]]);
  }
  std::vector<double> out;
  cell_offsets(layout, dense, 1, out);
  return out;
}

FitResult fit(const Problem& problem, const FitOptions& options) {
  const Removal removal = remove_perfectly_predicted(problem);
  FitResult out;
  out.kept = removal.kept;
  out.kept_rows = removal.kept_rows;
  out.removed_levels = removal.removed_levels;
  if (removal.kept_rows == 0) return out;
  const ClusteredProblem clustered = clustered_problem(problem, removal.kept);
  const Clustering clustering{clustered.multiway ? &*clustered.multiway : nullptr, options.small_sample};
  Layout layout(clustered.problem, removal);
  RowTerms terms(layout.rows());
  Estimates mle = maximize(layout, terms, options.control);
  out.omitted = mle.omitted;
  const probit::CovarianceEstimate mle_cov = covariance_at(layout, terms, mle, options.covariance, clustering);
  Report reported = report(layout, problem, mle, mle_cov, out.omitted);
  if (options.correction_lags) {
    // covariance_at left the scores at the estimates in terms.
    Estimates corrected = mle;
    corrected.beta = corrected_slopes(layout, terms, mle, *options.correction_lags);
    corrected = maximize_effects(layout, terms, std::move(corrected), options.control);
    const probit::CovarianceEstimate cov = covariance_at(layout, terms, corrected, options.covariance, clustering);
    out.uncorrected = std::move(reported);
    reported = report(layout, problem, corrected, cov, out.omitted);
    reported.loglike = mle.loglike;
    reported.iterations = mle.iterations;
    reported.converged = mle.converged && corrected.converged;
  }
  out.reported = std::move(reported);
  return out;
}

}  // namespace quorbis::core::panel
