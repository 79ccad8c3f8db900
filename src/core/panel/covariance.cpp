#include "core/panel/covariance.hpp"

#include <limits>
#include <utility>

#include "core/probit/multiway.hpp"
#include "core/probit/probit.hpp"

namespace quorbis::core::panel {

Projected project_columns(const Layout& layout, const CellSums& sums, const Coefficients& start,
                          std::size_t start_width) {
  const std::size_t k = layout.k();
  const CellSums columns = columns_of(sums, 0, k, sums.weight);
  Projected out;
  out.coefficients = zero_coefficients(layout, k);
  if (!start.empty()) {
    const std::size_t width = start_width;
    for (std::size_t d = 0; d < layout.dimensions(); ++d) {
      for (std::size_t g = 0; g < layout.dimension(d).levels(); ++g) {
        for (std::size_t j = 0; j < k; ++j) out.coefficients[d][g * k + j] = start[d][g * width + j];
      }
    }
  }
  Projector(layout).project(columns, out.coefficients, kFinestProjection, kMaxSweeps);
  cell_offsets(layout, out.coefficients, k, out.offsets);
  return out;
}

Matrix inverse_or_nan(const Matrix& hessian) {
  const std::optional<Matrix> inverse = probit::gauss_jordan_inverse(probit::negated(hessian));
  if (inverse) return *inverse;
  return Matrix(hessian.rows(), hessian.cols(), std::numeric_limits<double>::quiet_NaN());
}

probit::CovarianceEstimate slopes_covariance(const Layout& layout, const RowTerms& terms, const Projected& columns,
                                            probit::Covariance kind, const Clustering& clustering) {
  const std::size_t k = layout.k();
  const Demeaned demeaned =
      demeaned_pass(layout, terms, columns.offsets, k, {.score_outer = kind == probit::Covariance::robust});
  Matrix classical = inverse_or_nan(demeaned.hessian);
  switch (kind) {
    case probit::Covariance::classical: return {std::move(classical)};
    case probit::Covariance::robust: return {probit::sandwich_covariance(classical, demeaned.score_outer)};
    case probit::Covariance::clustered: {
      const Vector sums = cluster_sums(layout, terms, columns.offsets);
      if (clustering.multiway != nullptr) {
        return probit::multiway_covariance(classical, sums, *clustering.multiway, clustering.small_sample);
      }
      return {probit::sandwich_covariance(classical, probit::cluster_meat(sums, layout.cluster_count(), k))};
    }
  }
  return {std::move(classical)};
}

}  // namespace quorbis::core::panel
