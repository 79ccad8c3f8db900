// The curvature of -ln Phi over a lane policy (see lanes.hpp): the weight of an observation in the
// probit Hessian, without the cancellation of z + phi(z) / Phi(z) in the lower tail.
#pragma once

#include "core/normal/kernels/constants.hpp"
#include "core/normal/kernels/exact.hpp"
#include "core/normal/kernels/tails.hpp"

namespace quorbis::core::normal::kernels {

// phi(z) / Phi(z) as hi + lo for z <= 0 up to the series' range, within 2^-55 relative (the error of v).
template <class L>
Pair<L> lower_ratio_pair(const TailParts<L>& t) {
  using F = typename L::F;
  const F c_d = F(kSqrt2OverPiHi) * t.erfcx.d;
  const F c_d_lo = L::product_error(F(kSqrt2OverPiHi), t.erfcx.d, c_d) +
                   (F(kSqrt2OverPiHi) * t.erfcx.d_lo + F(kSqrt2OverPiLo) * t.erfcx.d);
  return quotient<L>(c_d, c_d_lo, t.erfcx.n, t.erfcx.n_lo);
}

// From x = -z = kFractionFrom on, z + phi(z) / Phi(z) = 1 / K with Laplace's continued fraction
// K = x + 2 / (x + 3 / (x + ...)), cut after kFractionDepth terms (relative error below 2^-57 for
// x >= 4). Above, z + lambda cancels at most to 1/19 of lambda, so the error of erfcx (about an ulp,
// from its rational correction) grows at most 19-fold there: within 32 ulp on [-4, -1], within 5 ulp
// elsewhere. Closer to 0 the fraction would need hundreds of terms, and the weight only enters the
// Hessian, where 1e-14 is far below what matters.
inline constexpr double kFractionFrom = 4.0;
inline constexpr int kFractionDepth = 41;

// The curvature of -ln Phi at z: lambda (z + lambda) with lambda = phi(z) / Phi(z), in (0, 1); without
// the cancellation of z + lambda in the lower tail, where it tends to 1. NaN stays NaN.
template <class L>
typename L::F curvature_weight(typename L::F z) {
  using F = typename L::F;
  const auto fraction = z <= F(-kFractionFrom);
  F w = F(0.0);
  if (!L::all(fraction)) {
    const TailParts<L> t = tail_parts<L>(z);
    Pair<L> r = lower_ratio_pair<L>(t);
    const auto upper = z > F(0.0);
    if (L::any(upper)) {
      const F ratio = pdf_over_cdf_from<L>(z, probit_parts<L>(z, t));
      r = {L::select(upper, ratio, r.hi), L::select(upper, F(0.0), r.lo)};
    }
    const F s = z + r.hi;
    const F gap = s + (sum_error<L>(z, r.hi, s) + r.lo);
    w = r.hi * gap + r.lo * gap;
  }
  if (L::any(fraction)) {
    const F x = -z;
    F k = x;
    for (int n = kFractionDepth; n >= 2; --n) k = x + F(static_cast<double>(n)) / k;
    const F gap = F(1.0) / k;
    w = L::select(fraction, (x + gap) * gap, w);
  }
  // The limits at -inf and +inf, where the products above meet inf * 0.
  w = L::select(L::abs(z) == F(kInf), L::select(z < F(0.0), F(1.0), F(0.0)), w);
  return L::select(z == z, w, z);
}

}  // namespace quorbis::core::normal::kernels
