// Quasi-Newton maximisation of the probit log-likelihood with the Davidon-Fletcher-Powell update
// of an inverse-curvature matrix and step halving.
#pragma once

#include <cstdint>
#include <optional>

#include "probit/matrix.hpp"
#include "probit/probit.hpp"

namespace quorbis::probit {

struct Optimum {
  Vector params;
  double loglike = 0.0;
  std::uint64_t iterations = 0;  // index of the last iteration run, from 0
  bool converged = false;
  // What the caller asked to have at the optimum, evaluated at params, when it came from the pass that
  // evaluated the last step; empty when the caller must make that pass itself.
  std::optional<Evaluation> at_optimum;
};

// at_optimum names what the caller will need at the returned coefficients. The optimiser adds it to the
// pass of a step that it expects to be the last (the iteration limit, or a change of the log-likelihood
// extrapolated below tol), which saves the caller a pass whenever the expectation holds.
Optimum fit_bfgs(const Probit& probit, std::uint64_t max_iter, double tol, Wants at_optimum = {});

}  // namespace quorbis::probit
