// The slopes' covariance at estimates of a probit with fixed effects. With x~ the columns projected off
// the effects with the curvature weights w, the concentrated Hessian is H = -sum w x~ x~'; the classical
// covariance is -H^-1, the robust one H^-1 (sum lambda^2 x~ x~') H^-1 and the clustered one
// H^-1 (sum_g u_g u_g') H^-1 with u_g = sum over the rows of g of lambda x~ (multiway: over the terms of
// probit/multiway.hpp): the slopes' block of the same covariance of the probit with one dummy per level.
#pragma once

#include <vector>

#include "core/panel/layout.hpp"
#include "core/panel/newton.hpp"
#include "core/panel/passes.hpp"
#include "core/probit/covariance.hpp"

namespace quorbis::core::panel {

// The columns projected off the effects at the weights of the last likelihood pass: each cell's offsets
// (width k) and the coefficients, from the first k columns of a warm start of width start_width (or zeros).
struct Projected {
  std::vector<double> offsets;
  Coefficients coefficients;
};
Projected project_columns(const Layout& layout, const CellSums& sums, const Coefficients& start,
                          std::size_t start_width);

// How a clustered covariance clusters: the layout's clusters, or with multiway the terms that group
// them, each term's meat times G/(G - 1) with small_sample.
struct Clustering {
  const probit::Clusters* multiway = nullptr;
  bool small_sample = false;
};

// The covariance of that kind with the rows' terms at the estimates and the columns projected there.
probit::CovarianceEstimate slopes_covariance(const Layout& layout, const RowTerms& terms, const Projected& columns,
                                            probit::Covariance kind, const Clustering& clustering);

// -H^-1, or NaN throughout when -H is singular.
Matrix inverse_or_nan(const Matrix& hessian);

}  // namespace quorbis::core::panel
