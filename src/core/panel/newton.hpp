// The maximum likelihood of a probit with fixed effects by Newton steps in the slopes and the effects
// together, the effects concentrated out: at each step the columns and the working residual
// lambda / w are projected on the effects with the curvature weights w (projection.hpp), the slopes'
// step solves the demeaned normal equations, the effects' step follows from the projections' coefficients,
// and the step is halved while the log-likelihood falls. The projections of the columns start from those
// of the step before, and their tolerance tightens as the log-likelihood settles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/panel/layout.hpp"
#include "core/panel/passes.hpp"
#include "core/panel/projection.hpp"

namespace quorbis::core::panel {

struct Estimates {
  Vector beta;                   // of the layout's columns
  Coefficients effects;          // of each dimension, one per level
  std::vector<double> offsets;   // of each cell, the sum of its effects
  double loglike = 0.0;
  std::uint64_t iterations = 0;  // index of the last iteration run, from 0
  bool converged = false;
  std::vector<std::size_t> omitted;   // columns left out of the layout
  Coefficients projections;      // of the columns at the last step (width k + 1), a warm start
  CellSums sums;                 // the cells' sums at the estimates: of the columns and the working
                                 // residual (width k + 1), or of the residual alone (width 1)
};

struct Control {
  std::uint64_t max_iter = 35;
  double tol = 1e-6;  // on the change of the log-likelihood from one iteration to the next
};

// The relative tolerance of the projections after the last step.
inline constexpr double kFinestProjection = 1e-11;
inline constexpr std::size_t kMaxSweeps = 10000;

// From zero slopes and effects. At the first step, columns that the effects and the columns before them
// explain (their residual sum of squares at most kExplained of their weighted sum of squares) are dropped
// from the layout and listed in omitted. terms end holding the rows' terms at the estimates.
Estimates maximize(Layout& layout, RowTerms& terms, const Control& control);

// The effects that maximise the likelihood at the slopes of start, from its effects.
Estimates maximize_effects(Layout& layout, RowTerms& terms, Estimates start, const Control& control);

}  // namespace quorbis::core::panel
