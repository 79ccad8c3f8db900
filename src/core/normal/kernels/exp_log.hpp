// exp and log over a lane policy (see lanes.hpp): argument reduction by ln 2, a near-minimax polynomial,
// and the low-order parts carried as pairs, within 1 ulp for every double argument.
#pragma once

#include "core/normal/kernels/coefficients.hpp"
#include "core/normal/kernels/constants.hpp"
#include "core/normal/kernels/polynomial.hpp"

namespace quorbis::core::normal::kernels {

// exp(a + b), |b| tiny against a, as (hi + lo) 2^k: hi + lo in [0.7, 1.42] carries about 2^-60 relative
// error, and t holds k in its low mantissa bits.
template <class L>
struct ExpParts {
  typename L::F hi, lo, t;
};

template <class L>
ExpParts<L> exp_parts(typename L::F a, typename L::F b) {
  using F = typename L::F;
  // a + b = k ln2 + r with |r| <= ln2 / 2; a - k * kLn2Hi is exact (Sterbenz).
  const F t = a * kInvLn2 + kShifter;
  const F k = t - kShifter;
  const F r_hi = a - k * kLn2Hi;
  const F c = b - k * kLn2Lo;
  const F r = r_hi + c;
  const F r_lo = c - (r - r_hi);
  // exp(r) - 1 = r + s, s = r^2 E(r) with |s| < |r| / 5, kept as q + q_lo.
  const F r2 = r * r;
  const F s = r2 * polynomial<L>(r, r2, kExpE);
  const F q = r + s;
  const F q_lo = s - (q - r);
  // 1 + q = hi + lo exactly (|q| < 1), then exp(r + r_lo) = (1 + q)(1 + r_lo).
  const F hi = F(1.0) + q;
  const F lo = (q - (hi - 1.0)) + (q_lo + r_lo * hi);
  return {hi, lo, t};
}

// y 2^k for k in [-1022, 1023], where 2^k is a normal double.
template <class L>
typename L::F scale_narrow(const ExpParts<L>& e, typename L::F y) {
  using U = typename L::U;
  return y * L::from_bits(L::shl52(L::bits(e.t) - U(kShifterBits - 1023)));
}

// y 2^k for k in [-2044, 2046] as (y 2^k1) 2^k2 with k1 = floor(k / 2), each factor a normal power of
// two. Where y 2^k1 is normal it is exact, so where scale_narrow also applies both round the same exact
// value once and agree bit for bit.
template <class L>
typename L::F scale_wide(const ExpParts<L>& e, typename L::F y) {
  using U = typename L::U;
  const U k = L::bits(e.t) - U(kShifterBits);
  const U k1 = L::shr1(k + U(2048)) - U(1024);
  const U k2 = k - k1;
  return (y * L::from_bits(L::shl52(k1 + U(1023)))) * L::from_bits(L::shl52(k2 + U(1023)));
}

// Within +-707 the k of exp is in [-1021, 1021].
inline constexpr double kExpNarrowTo = 707.0;

template <class L>
typename L::F exp(typename L::F x) {
  using F = typename L::F;
  // Within +-707 neither the bounds below nor a NaN need handling.
  if (L::all(L::abs(x) <= F(kExpNarrowTo))) {
    const ExpParts<L> e = exp_parts<L>(x, F(0.0));
    return scale_narrow<L>(e, e.hi + e.lo);
  }
  // Beyond these bounds exp overflows to +inf or underflows to 0; NaN passes through.
  F a = L::select(x > F(710.0), F(710.0), x);
  a = L::select(a < F(-746.0), F(-746.0), a);
  const ExpParts<L> e = exp_parts<L>(a, F(0.0));
  const F result = scale_wide<L>(e, e.hi + e.lo);
  // A NaN argument is returned as it is, so that its bits do not depend on operand order.
  return L::select(x == x, result, x);
}

// Subtracted from kShifter + e_biased (see log_normal) to give the exponent e; 54 more for arguments
// that were scaled by 2^54.
inline constexpr double kLogExponentBias = kShifter + 1024.0;
inline constexpr double kLogScaledExponentBias = kLogExponentBias + 54.0;

// log of a positive normal double xs = x 2^(e_bias - kLogExponentBias).
template <class L>
typename L::F log_normal(typename L::F xs, typename L::F e_bias) {
  using F = typename L::F;
  using U = typename L::U;
  // xs = 2^e m with m in [sqrt(1/2), sqrt 2): e from the bits of xs / sqrt(1/2), offset to stay unsigned.
  const U ix = L::bits(xs);
  const U e_biased = L::shr52(ix - U(kSqrtHalfBits) + U(kExponentOffset));
  const F m = L::from_bits(ix - L::shl52(e_biased) + U(kExponentOffset));
  const F e = L::from_bits(e_biased + U(kShifterBits)) - e_bias;
  // log m = f - f^2/2 + s (f^2/2 + z T(z)) with f = m - 1 exact, s = f / (2 + f), z = s^2.
  const F f = m - 1.0;
  const F half_f2 = (f * 0.5) * f;
  const F s = f / (f + 2.0);
  const F z = s * s;
  const F r = z * polynomial<L>(z, z * z, kLogT);
  // e ln2 + f as an exact sum, so that the final addition is the only rounding of a large term; e_hi is
  // 0 or larger than |f| < 0.42, which makes the short form of the sum's error exact.
  const F e_hi = e * kLn2Hi;
  const F sum = e_hi + f;
  const F sum_lo = f - (sum - e_hi);
  const F correction = half_f2 - (s * (half_f2 + r) + e * kLn2Lo);
  return sum + (sum_lo - correction);
}

template <class L>
typename L::F log(typename L::F x) {
  using F = typename L::F;
  // Positive normal finite arguments need neither scaling nor special cases.
  if (L::all(x >= F(kMinNormal)) && L::all(x < F(kInf))) return log_normal<L>(x, F(kLogExponentBias));
  // Subnormals are scaled into the normal range first.
  const auto normal = x >= F(kMinNormal);
  const F xs = L::select(normal, x, x * kTwoTo54);
  const F result = log_normal<L>(xs, L::select(normal, F(kLogExponentBias), F(kLogScaledExponentBias)));
  // log 0 = -inf, log of a negative number is NaN, log(+inf) = +inf, NaN stays NaN.
  const F special = L::select(x == F(0.0), F(-kInf), L::select(x < F(0.0), F(kNaN), x));
  return L::select(x > F(0.0), L::select(x < F(kInf), result, special), special);
}

}  // namespace quorbis::core::normal::kernels
