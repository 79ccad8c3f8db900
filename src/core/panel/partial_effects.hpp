// Average partial effects of the slopes of a probit with fixed effects, averaged over the rows with their
// estimated effects, and their delta-method covariance with respect to the slopes and the effects, as
// in Fernandez-Val and Weidner (2016). For column j the partial effect of row i is the derivative
// b_j phi(eta_i) or, for a 0/1 column, the change Phi(eta_i with x_j = 1) - Phi(eta_i with x_j = 0).
// With d_i = d Delta_i / d eta, Psi the projection of d / w on the effects (weights w, the curvature),
// J the derivative of sum Delta in the slopes with the effects following them (sum of the direct
// derivatives and of d (x - x~)), A = sum w x~ x~' and v the rows' scores, the linear term of the average
// effect is (1/n) sum_i Gamma_i with Gamma_i = (J A^-1 x~_i + Psi_i) v_i. The estimation covariance is
// that of (1/n) sum Gamma under the fit's covariance kind (classical: (J A^-1 J' + sum w Psi Psi') / n^2),
// which equals the delta method on the probit with one dummy per level; the sampling covariance adds the
// variation of the partial effects over the levels of each dimension (levels independent):
// [sum_d sum_g S_g S_g' - (D - 1) sum_i (Delta_i - delta)(Delta_i - delta)'] / n^2, S_g the level's sum of
// Delta - delta, and with predetermined regressors (L > 0) the covariance of the individuals' sums of
// Delta - delta and of Gamma. Corrected, the effects lose their estimated bias:
//   sum over both dimensions' levels g of [1/2 sum_{i in g} (d2_i - Psi~_i z_i)] / sum_{i in g} w~_i
//   + sum over the individuals of [sum_{l=1..L} T/(T-l) sum_t (d_t - Psi~_t w~_t) v_{t-l}] / sum_t w~_t,
// over n, with w~ the expected curvature, z = -eta w~, d2 = d2 Delta / d eta2 and Psi~ the projection
// of d / w~ with weights w~.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/panel/problem.hpp"
#include "core/probit/covariance.hpp"
#include "core/probit/matrix.hpp"

namespace quorbis::core::panel {

struct PartialEffects {
  probit::Vector effect;       // of each column
  probit::Matrix estimation;   // covariance from the estimation of the slopes and effects
  probit::Matrix sampling;     // covariance from the variation of the partial effects over the levels
  std::vector<bool> dummy;     // the columns of 0 and 1, whose effect is a discrete change
};

// At slopes beta (one per column of the problem) and effects (one per code of each dimension), over all
// rows of the problem; small_sample multiplies each term of a multiway clustering by G/(G - 1).
PartialEffects average_partial_effects(const Problem& problem, const probit::Vector& beta,
                                       const std::vector<std::vector<double>>& effects, probit::Covariance kind,
                                       std::optional<std::size_t> correction_lags, bool small_sample = false);

}  // namespace quorbis::core::panel
