// Phi clamped into [1e-15, 1 - 1e-15] over a lane policy (see core/normal/kernels/lanes.hpp): the form
// of Phi that a clamped likelihood would use. The fit is exact and needs no clamp; the tests keep it to
// check erfc's limited range against the clamped cdf.
#pragma once

#include "core/normal/kernels/constants.hpp"
#include "core/normal/kernels/erfc.hpp"

namespace quorbis::tests::kernels {

inline constexpr double kCdfLower = 1e-15;
inline constexpr double kCdfUpper = 0.999999999999999;

// A NaN Phi gives the lower bound. Past -x / sqrt 2 = +-6, Phi is below 1.1e-17 or rounds to 1 and is
// clamped either way, so erfc may take its value at +-6 there.
template <class L>
typename L::F clipped_cdf(typename L::F x) {
  using F = typename L::F;
  const F c = core::normal::kernels::erfc<L, true>(-x / core::normal::kernels::kSqrt2) * 0.5;
  return L::select(c >= F(kCdfLower), L::select(c <= F(kCdfUpper), c, F(kCdfUpper)), F(kCdfLower));
}

}  // namespace quorbis::tests::kernels
