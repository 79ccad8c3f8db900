// Quasi-Newton maximisation of the probit log-likelihood with the Davidon-Fletcher-Powell update
// of an inverse-curvature matrix and step halving.
#pragma once

#include <cstdint>

#include "probit/matrix.hpp"
#include "probit/probit.hpp"

namespace quorbis::probit {

struct Optimum {
  Vector params;
  double loglike = 0.0;
  std::uint64_t iterations = 0;  // index of the last iteration run, from 0
  bool converged = false;
};

Optimum fit_bfgs(const Probit& probit, std::uint64_t max_iter, double tol);

}  // namespace quorbis::probit
