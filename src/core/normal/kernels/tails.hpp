// ln Phi and phi / Phi over a lane policy (see lanes.hpp), exact in both tails: the terms of the probit
// log-likelihood and its gradient.
#pragma once

#include "core/normal/kernels/constants.hpp"
#include "core/normal/kernels/erfc.hpp"
#include "core/normal/kernels/exact.hpp"
#include "core/normal/kernels/exp_log.hpp"
#include "core/normal/kernels/polynomial.hpp"

namespace quorbis::core::normal::kernels {

// With a = |z| / sqrt 2 and erfcx(a) = exp(a^2) erfc(a) = (1 + v(a)) / (1 + 2a) (v as in erfc), both tails
// share one scaled complement: Phi(-|z|) = exp(-z^2 / 2) erfcx(a) / 2. The exponential is never formed
// where it would underflow: in the lower tail ln Phi(z) = -z^2 / 2 + ln(erfcx(a) / 2) and
// phi(z) / Phi(z) = sqrt(2 / pi) / erfcx(a). Past a = 28 the asymptotic series
// Phi(z) = phi(z) S(1 / z^2) / |z|, S(y) = sum_n (-1)^n (2n - 1)!! y^n, stands in for the rational v.

// sqrt(2 / pi) = kSqrt2OverPiHi + kSqrt2OverPiLo.
inline constexpr double kSqrt2OverPiHi = 0.7978845608028654;
inline constexpr double kSqrt2OverPiLo = -4.98465440455546e-17;
// S(y) to y^7: for y = 1 / z^2 <= 1 / (2 * 28^2) the first omitted term is below 6e-20.
inline constexpr double kMillsSeries[] = {1.0, -1.0, 3.0, -15.0, 105.0, -945.0, 10395.0, -135135.0};
// Beyond the rational's range (a > 28) the series S takes over.
inline constexpr double kSeriesFrom = kErfcZeroFrom * kSqrt2;
// Beyond 2^500, z^2 needs no error term (and Dekker's splitting would overflow).
inline constexpr double kHugeSquareRoot = 0x1p500;
// exp(-z^2 / 2) is 0 past z^2 / 2 = 746; the exponent is held there, as exp does.
inline constexpr double kExpZeroFrom = 746.0;

// An unevaluated sum hi + lo.
template <class L>
struct Pair {
  typename L::F hi, lo;
};

// erfcx(a) = (n + n_lo) / (d + d_lo): n + n_lo = 1 + v(a) (within 2^-55 relative of the exact value,
// the error of v) and d + d_lo = 1 + 2a, both exactly.
template <class L>
struct Fraction {
  typename L::F n, n_lo, d, d_lo;
};

template <class L, bool kNear>
Fraction<L> erfcx_fraction(typename L::F a) {
  using F = typename L::F;
  const F v = erfc_correction<L, kNear>(a, a * a);
  const F n = F(1.0) + v;
  const F twice = a + a;
  const F d = F(1.0) + twice;
  return {n, v - (n - 1.0), d, sum_error<L>(F(1.0), twice, d)};
}

// erfcx at min(a, 28), each lane by the form for its range.
template <class L>
Fraction<L> erfcx_by_range(typename L::F a) {
  using F = typename L::F;
  const auto far = a > F(kErfcNearTo);
  if (!L::any(far)) return erfcx_fraction<L, true>(a);
  const Fraction<L> far_value = erfcx_fraction<L, false>(L::select(a > F(kErfcZeroFrom), F(kErfcZeroFrom), a));
  if (L::all(far)) return far_value;
  const Fraction<L> near = erfcx_fraction<L, true>(a);
  return {L::select(far, far_value.n, near.n), L::select(far, far_value.n_lo, near.n_lo),
          L::select(far, far_value.d, near.d), L::select(far, far_value.d_lo, near.d_lo)};
}

// num / (d + d_lo) as hi + lo: the quotient corrected by its exact remainder, as in erfc_nonnegative.
template <class L>
Pair<L> quotient(typename L::F num, typename L::F num_lo, typename L::F d, typename L::F d_lo) {
  using F = typename L::F;
  const F inverse = F(1.0) / d;
  const F q0 = num * inverse;
  const F p = q0 * d;
  const F remainder = ((num - p) - L::product_error(q0, d, p)) + (num_lo - q0 * d_lo);
  return {q0, remainder * inverse};
}

// What the three functions share for one z: x = |z|, z^2 / 2 = half_hi + half_lo exactly, and erfcx.
template <class L>
struct TailParts {
  typename L::F x, half_hi, half_lo;
  Fraction<L> erfcx;
};

template <class L>
TailParts<L> tail_parts(typename L::F z) {
  using F = typename L::F;
  const F x = L::abs(z);
  const F h = z * z;
  const F l = L::select(x >= F(kTinySquare),
                        L::select(x <= F(kHugeSquareRoot), L::product_error(z, z, h), F(0.0)), F(0.0));
  return {x, h * 0.5, l * 0.5, erfcx_by_range<L>(x / kSqrt2)};
}

// exp(-z^2 / 2), 0 where it underflows.
template <class L>
ExpParts<L> exp_half_square(const TailParts<L>& t) {
  using F = typename L::F;
  return exp_parts<L>(L::select(t.half_hi < F(kExpZeroFrom), -t.half_hi, F(-kExpZeroFrom)), -t.half_lo);
}

// S(1 / x^2).
template <class L>
typename L::F mills_series(typename L::F x) {
  using F = typename L::F;
  const F y = F(1.0) / (x * x);
  return polynomial<L>(y, y * y, kMillsSeries);
}

// ln Phi(z) = base + ln(hi + lo) and phi(z) / Phi(z) = num / den, from one evaluation of the tails:
// - lower tail, z <= 0: ln Phi = -z^2 / 2 + ln(erfcx / 2) and phi / Phi = sqrt(2 / pi) / erfcx, with
//   erfcx as a pair (past the rational's range, erfcx / 2 = S(1 / z^2) / (x sqrt(2 pi)));
// - upper tail, z > 0: Phi(-z) = exp(-z^2 / 2) erfcx / 2 to about an ulp, then Phi(z) = 1 - Phi(-z)
//   exactly as a pair, so that ln Phi(z) ~ -Phi(-z) keeps its digits; phi / Phi = exp(-z^2 / 2) /
//   (sqrt(2 pi) Phi(z)).
// A kernel that uses only one of the two results leaves the other's operations to dead-code removal.
template <class L>
struct ProbitParts {
  typename L::F base, hi, lo, num, den;
};

// sqrt(2 / pi) / (hi + lo) = kSqrt2OverPiHi / ((hi + lo) (1 - kSqrt2OverPiLo / kSqrt2OverPiHi)).
inline constexpr double kSqrt2OverPiRelativeLo = kSqrt2OverPiLo / kSqrt2OverPiHi;

template <class L>
ProbitParts<L> probit_parts(typename L::F z, const TailParts<L>& t) {
  using F = typename L::F;
  const Pair<L> r = quotient<L>(t.erfcx.n, t.erfcx.n_lo, t.erfcx.d, t.erfcx.d_lo);
  ProbitParts<L> p{-t.half_hi - t.half_lo, r.hi * 0.5, r.lo * 0.5, F(kSqrt2OverPiHi),
                   r.hi + (r.lo - r.hi * kSqrt2OverPiRelativeLo)};
  const auto series = t.x > F(kSeriesFrom);
  if (L::any(series)) {
    // -z^2 / 2 dominates ln Phi here (beyond 784 in magnitude), so erfcx / 2 needs no pair.
    // 1 in place of the 0 at -inf, where -z^2 / 2 = -inf already, keeps lo / hi a number.
    const F s = mills_series<L>(t.x);
    p.hi = L::select(series, L::select(t.x < F(kInf), (s / kSqrt2Pi) / t.x, F(1.0)), p.hi);
    p.lo = L::select(series, F(0.0), p.lo);
    p.num = L::select(series, t.x, p.num);
    p.den = L::select(series, s, p.den);
  }
  const auto upper = z > F(0.0);
  if (L::any(upper)) {
    const ExpParts<L> e = exp_half_square<L>(t);
    const F complement = scale_wide<L>(e, e.hi * r.hi + (e.hi * r.lo + e.lo * r.hi)) * 0.5;
    const F cdf = F(1.0) - complement;
    p.base = L::select(upper, F(0.0), p.base);
    p.hi = L::select(upper, cdf, p.hi);
    p.lo = L::select(upper, (F(1.0) - cdf) - complement, p.lo);
    p.num = L::select(upper, scale_wide<L>(e, e.hi + e.lo), p.num);
    p.den = L::select(upper, kSqrt2Pi * cdf, p.den);
  }
  return p;
}

// ln(hi + lo) = ln hi + lo / hi, to an error far below an ulp.
template <class L>
typename L::F log_cdf_from(typename L::F z, const ProbitParts<L>& p) {
  return L::select(z == z, p.base + (log<L>(p.hi) + p.lo / p.hi), z);
}

template <class L>
typename L::F pdf_over_cdf_from(typename L::F z, const ProbitParts<L>& p) {
  return L::select(z == z, p.num / p.den, z);
}

// ln Phi(z), relative error within 4 ulp wherever the result is normal; -inf at -inf, 0 at +inf.
template <class L>
typename L::F log_cdf(typename L::F z) {
  return log_cdf_from<L>(z, probit_parts<L>(z, tail_parts<L>(z)));
}

// phi(z) / Phi(z), within 4 ulp; +inf at -inf, 0 at +inf.
template <class L>
typename L::F pdf_over_cdf(typename L::F z) {
  return pdf_over_cdf_from<L>(z, probit_parts<L>(z, tail_parts<L>(z)));
}

// Both at once; the same bits as each alone.
template <class L>
struct LogCdfAndRatio {
  typename L::F log_cdf, ratio;
};

template <class L>
LogCdfAndRatio<L> log_cdf_and_ratio(typename L::F z) {
  const ProbitParts<L> p = probit_parts<L>(z, tail_parts<L>(z));
  return {log_cdf_from<L>(z, p), pdf_over_cdf_from<L>(z, p)};
}

}  // namespace quorbis::core::normal::kernels
