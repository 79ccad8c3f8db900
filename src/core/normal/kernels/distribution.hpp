// The standard normal distribution over a lane policy (see lanes.hpp): Phi(x) = erfc(-x / sqrt 2) / 2
// and phi(x) = exp(-x^2 / 2) / sqrt(2 pi).
#pragma once

#include "core/normal/kernels/constants.hpp"
#include "core/normal/kernels/erfc.hpp"
#include "core/normal/kernels/exp_log.hpp"

namespace quorbis::core::normal::kernels {

// Phi(x) = erfc(-x / sqrt 2) / 2: 0 at -inf, 1 at +inf. A NaN argument is returned as it is: compilers
// may fold -x / c into x / -c, which changes the sign of a NaN quotient.
template <class L>
typename L::F cdf(typename L::F x) {
  return L::select(x == x, erfc<L>(-x / kSqrt2) * 0.5, x);
}

// phi(x) = exp(-x^2 / 2) / sqrt(2 pi): 0 at +-inf; a NaN argument is returned as it is (see cdf).
template <class L>
typename L::F pdf(typename L::F x) {
  return L::select(x == x, exp<L>(x * (x * -0.5)) / kSqrt2Pi, x);
}

}  // namespace quorbis::core::normal::kernels
