// erfc over a lane policy (see lanes.hpp): exp(-x^2) (1 + v(x)) / (1 + 2x) with v a rational function,
// within 1.5 ulp for every double argument.
#pragma once

#include "core/normal/kernels/coefficients.hpp"
#include "core/normal/kernels/constants.hpp"
#include "core/normal/kernels/exact.hpp"
#include "core/normal/kernels/exp_log.hpp"
#include "core/normal/kernels/polynomial.hpp"

namespace quorbis::core::normal::kernels {

// v(a) = 3/16 + P(a) / Q(a), with h = a^2, from the coefficients for a <= 6 or for a <= 28.
template <class L, bool kNear>
typename L::F erfc_correction(typename L::F a, typename L::F h) {
  if constexpr (kNear) {
    return polynomial_even_odd<L>(a, h, kErfcNearP) / polynomial_even_odd<L>(a, h, kErfcNearQ) +
           kErfcOffset;
  } else {
    return polynomial_even_odd<L>(a, h, kErfcP) / polynomial_even_odd<L>(a, h, kErfcQ) + kErfcOffset;
  }
}

// erfc(a) for a >= 0 (or NaN): exp(-a^2) (1 + v(a)) / (1 + 2a), with exp(-a^2), the numerator and the
// denominator carried as pairs so that only the last addition rounds at full weight. kNear: a <= 6,
// with v from the shorter kErfcNearP / kErfcNearQ and 2^k in one factor (k >= -52).
template <class L, bool kNear>
typename L::F erfc_nonnegative(typename L::F a) {
  using F = typename L::F;
  // a^2 = h + l exactly; below 2^-400, where the error term could underflow, l does not matter and is 0.
  const F h = a * a;
  const F l = L::select(a >= F(kTinySquare), L::product_error(a, a, h), F(0.0));
  const ExpParts<L> e = exp_parts<L>(-h, -l);
  const F v = erfc_correction<L, kNear>(a, h);
  // Numerator (e.hi + e.lo)(1 + v) = num + num_lo; 0 <= v < 0.4 keeps num the larger part.
  const F n_lo = e.hi * v + (e.lo + e.lo * v);
  const F num = e.hi + n_lo;
  const F num_lo = n_lo - (num - e.hi);
  // Denominator 1 + 2a = d + d_lo exactly.
  const F twice = a + a;
  const F d = F(1.0) + twice;
  const F d_lo = sum_error<L>(F(1.0), twice, d);
  // Quotient q0 = num / d to about one ulp, then one correction step with the remainder, which is exact
  // up to terms of relative size 2^-106: num - p is exact (Sterbenz) and p + p_err = q0 d exactly.
  const F inverse = F(1.0) / d;
  const F q0 = num * inverse;
  const F p = q0 * d;
  const F p_err = L::product_error(q0, d, p);
  const F remainder = ((num - p) - p_err) + (num_lo - q0 * d_lo);
  const F q = q0 + remainder * inverse;
  if constexpr (kNear) {
    return scale_narrow<L>(e, q);
  } else {
    return scale_wide<L>(e, q);
  }
}

// erfc(a) for a >= 0 or NaN, each lane by the form for its range (a NaN lane's value is not used).
// kLimited: the caller only needs to know that erfc(a) is below 2.2e-17 past 6, so those lanes take the
// value at 6.
template <class L, bool kLimited>
typename L::F erfc_by_range(typename L::F a) {
  using F = typename L::F;
  const auto far = a > F(kErfcNearTo);
  if (!L::any(far)) return erfc_nonnegative<L, true>(a);
  if constexpr (kLimited) {
    return erfc_nonnegative<L, true>(L::select(far, F(kErfcNearTo), a));
  } else {
    const F far_value = erfc_nonnegative<L, false>(L::select(a > F(kErfcZeroFrom), F(kErfcZeroFrom), a));
    return L::all(far) ? far_value : L::select(far, far_value, erfc_nonnegative<L, true>(a));
  }
}

template <class L, bool kLimited = false>
typename L::F erfc(typename L::F x) {
  using F = typename L::F;
  const F r = erfc_by_range<L, kLimited>(L::abs(x));
  // erfc(-a) = 2 - erfc(a); a NaN argument is returned as it is.
  return L::select(x == x, L::select(x < F(0.0), F(2.0) - r, r), x);
}

}  // namespace quorbis::core::normal::kernels
