// The analytical correction of the slopes' incidental-parameter bias of Fernandez-Val and Weidner (2016,
// J. Econometrics 192), for individual effects (the first dimension) and, with a second dimension, time
// effects, with the expectations of the likelihood's derivatives conditional on the regressors and the
// effects at the estimates. With the expected curvature w = phi^2 / (Phi (1 - Phi)) at eta, z = -eta w
// (-2 times the expected score times curvature plus half the third derivative), x~ the columns projected
// off the effects with weights w and v the rows' scores:
//   b = sum over both dimensions' levels g of [1/2 sum_{i in g} z_i x~_i] / sum_{i in g} w_i
//     + sum over the individuals of [sum_{l=1..L} T/(T-l) sum_t w_t x~_t v_{t-l}] / sum_t w_t,
// an individual's rows being its periods in order; the corrected slopes are beta + (sum w x~ x~')^-1 b,
// which is beta - W^-1 B / T - W^-1 D / N in the paper's notation.
#pragma once

#include <cstddef>
#include <vector>

#include "core/panel/layout.hpp"
#include "core/panel/newton.hpp"
#include "core/panel/passes.hpp"

namespace quorbis::core::panel {

// sum over the levels g of each dimension, in order, of (sum over g's cells of numerator) / (sum of weight).
Vector level_ratios(const Layout& layout, const std::vector<double>& weight, std::size_t width,
                    const std::vector<double>& numerator);

// sum over the individuals (levels of the first dimension) of
// [sum_{l=1..L} T/(T-l) sum_{t>=l} m_t v_{t-l}] / sum_t w_t, with m_t = row(t, cell of t, out) of width
// `width`, an individual's rows in order.
template <class Row>
Vector lagged_sums(const Layout& layout, const double* weight, const double* v, std::size_t L, std::size_t width,
                   Row&& row);

// The corrected slopes; terms hold the scores lambda at the estimates and end with the expected curvature.
Vector corrected_slopes(const Layout& layout, RowTerms& terms, const Estimates& estimates, std::size_t L);

}  // namespace quorbis::core::panel

#include "core/panel/lagged_sums.hpp"
