// erfc, exp and log written once over a lane policy, so that the single-value, portable and SIMD paths
// run the same IEEE operations in the same order and agree bit for bit. Argument reduction plus
// near-minimax polynomial and rational approximations (coefficients from tools/fit_normal_coefficients.py); products
// and sums that decide the last bit are carried as unevaluated pairs hi + lo (Dekker's exact product,
// Knuth's exact sum); no rounded fused multiply-add.
//
// A lane policy L provides the types F (doubles), U (their bit patterns as unsigned 64-bit integers) and
// M (masks from comparisons of F); the operators + - * / and unary - on F, + - on U, and the comparisons
// < > <= >= == on F; and the static functions select(M, F, F), all(M) and any(M) (whether every or some
// lane of a mask is set, as a bool), bits(F), from_bits(U), abs(F), shl52(U), shr52(U), shr1(U) and
// product_error(a, b, p), the exact error a * b - p of p = fl(a * b) (see
// dekker_product_error; being exact, it is the same however a policy computes it). Every policy type
// must have internal linkage, so that the instantiations of one translation unit (compiled for one
// instruction set) never stand in for those of another.
//
// The kernels branch on all() and any() only to skip work, never to change a lane's result: a value
// gives the same bits whichever values share its vector, and the single-value path takes the branch
// that its one value decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "normal/normal.hpp"

namespace quorbis::normal::kernels {

// The block kernels that the dispatcher can run.
enum class Kernel { erfc, exp, log, cdf, pdf, clipped_cdf, log_cdf, pdf_over_cdf, curvature_weight };

// The AVX2 block loop (defined in simd/avx2/normal.cpp); call only when simd::use_avx2() is true.
void avx2_block(Kernel kernel, const double* x, double* out, std::size_t n) noexcept;
// The same for log_cdf_and_ratio, which writes two arrays.
void avx2_log_cdf_and_ratio_block(const double* x, double* log_cdf, double* ratio, std::size_t n) noexcept;

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ln 2 = kLn2Hi + kLn2Lo, kLn2Hi with 42 significant bits so that k * kLn2Hi is exact for |k| < 2^11.
inline constexpr double kLn2Hi = 0.6931471805598903;
inline constexpr double kLn2Lo = 5.497923018708371e-14;
inline constexpr double kInvLn2 = 1.4426950408889634;
// Adding 1.5 * 2^52 rounds a double of magnitude below 2^51 to an integer held in the low mantissa bits.
inline constexpr double kShifter = 6755399441055744.0;
inline constexpr std::uint64_t kShifterBits = 0x4338000000000000;
inline constexpr double kSplitter = 134217729.0;  // 2^27 + 1
inline constexpr double kTinySquare = 0x1p-400;
inline constexpr double kTwoTo54 = 18014398509481984.0;
inline constexpr double kMinNormal = 2.2250738585072014e-308;
inline constexpr std::uint64_t kSqrtHalfBits = 0x3FE6A09E667F3BCD;  // sqrt(1/2) rounded down
inline constexpr std::uint64_t kExponentOffset = 0x4000000000000000;  // 1024 << 52

// exp(r) = 1 + r + r^2 E(r) on |r| <= 0.3467; relative error of the sum below 2^-61.
inline constexpr double kExpE[] = {
    0.5,
    0.1666666666666667,
    0.04166666666666667,
    0.00833333333332612,
    0.0013888888888883737,
    0.00019841269874873975,
    2.480158732558584e-05,
    2.755725533255441e-06,
    2.7557273594799413e-07,
    2.510524515390137e-08,
    2.0914707069612355e-09,
};

// log(1 + f) = 2 s + s z T(z) with s = f / (2 + f), z = s^2 <= 0.02944; relative error below 2^-57.
inline constexpr double kLogT[] = {
    0.666666666666667,
    0.3999999999989945,
    0.28571428626001427,
    0.22222211130560726,
    0.18182889433757515,
    0.15331711346672997,
    0.14616576421644387,
};

// erfc(x) = exp(-x^2) (1 + v(x)) / (1 + 2x) for x >= 0 with v(x) = 3/16 + P(x) / Q(x) on [0, 28]; the
// offset keeps the computed part small (|P / Q| < 0.19), and with it its rounding errors. The absolute
// error of v is below 2^-60.
inline constexpr double kErfcOffset = 0.1875;
inline constexpr double kErfcP[] = {
    -0.1875,
    0.21693886149760525,
    0.7165842878075411,
    0.7509089498353774,
    0.45827938065327073,
    0.1845705044003461,
    0.05018205972451498,
    0.008686576314343527,
    0.0006986148568303669,
    -5.632360632351527e-05,
    -2.0366765467970108e-05,
    -1.7014451084927289e-06,
};
inline constexpr double kErfcQ[] = {
    1.0,
    3.4916371808367064,
    5.7068857907337875,
    5.775651687059669,
    4.031454452658963,
    2.043795319041145,
    0.7706000844793488,
    0.2170304621531239,
    0.04499177232290488,
    0.006586425344497831,
    0.000619132702202845,
    2.8779112622546956e-05,
};
// The same v on [0, 6] alone, where shorter P and Q suffice (absolute error below 2^-56): the arguments
// that occur most take this cheaper form. Beyond 6, erfc is below 2.2e-17.
inline constexpr double kErfcNearTo = 6.0;
inline constexpr double kErfcNearP[] = {
    -0.1875,
    0.30586206590516163,
    0.5890126734016791,
    0.44401001613957275,
    0.1910636573381556,
    0.04972625277982924,
    0.006903137888431992,
    8.846636314783189e-05,
    -0.00012441987123203895,
    -1.4599057812022651e-05,
};
inline constexpr double kErfcNearQ[] = {
    1.0,
    3.01738009066308,
    4.182615147841982,
    3.505462017690583,
    1.964030346505977,
    0.7659475299273893,
    0.20897616131446478,
    0.03871857324823099,
    0.0044610054837210715,
    0.0002469359923450515,
};
// erfc(28) is far below the smallest subnormal; larger arguments are evaluated as 28.
inline constexpr double kErfcZeroFrom = 28.0;

// sum_j c[First + j] x^j for j < Count by Estrin's scheme: the lower half (a power of two of terms) plus
// x^half times the upper half, so the chain of dependent operations grows with log2(Count) rather than
// Count (the kernels are largely bound by the latency of that chain). p2, p4, p8 are x^2, x^4, x^8.
template <class L, std::size_t First, std::size_t Count, std::size_t N>
typename L::F estrin(typename L::F x, typename L::F p2, typename L::F p4, typename L::F p8,
                     const double (&c)[N]) {
  using F = typename L::F;
  if constexpr (Count == 1) {
    return F(c[First]);
  } else {
    constexpr std::size_t half = Count > 8 ? 8 : Count > 4 ? 4 : Count > 2 ? 2 : 1;
    static_assert(Count <= 16);
    const F low = estrin<L, First, half>(x, p2, p4, p8, c);
    const F high = estrin<L, First + half, Count - half>(x, p2, p4, p8, c);
    if constexpr (half == 1) return low + high * x;
    else if constexpr (half == 2) return low + high * p2;
    else if constexpr (half == 4) return low + high * p4;
    else return low + high * p8;
  }
}

// sum_j c[j] x^j, given x2 = x^2.
template <class L, std::size_t N>
typename L::F polynomial(typename L::F x, typename L::F x2, const double (&c)[N]) {
  const typename L::F x4 = N > 4 ? x2 * x2 : x2;
  const typename L::F x8 = N > 8 ? x4 * x4 : x4;
  return estrin<L, 0, N>(x, x2, x4, x8, c);
}

// sum_j c[j] x^j as an even part in x^2 plus x times an odd part, each by Horner's rule: a longer chain
// than Estrin's scheme, but for P and Q of erfc's correction, evaluated off the longest chain, it rounds
// less (worst erfc error over 150000 arguments in [0, 0.6]: 1.05 ulp this way, 1.20 ulp with Estrin's
// scheme).
template <class L, std::size_t N>
typename L::F polynomial_even_odd(typename L::F x, typename L::F x2, const double (&c)[N]) {
  using F = typename L::F;
  static_assert(N >= 2);
  constexpr std::size_t last_even = (N - 1) / 2 * 2;
  constexpr std::size_t last_odd = (N - 2) / 2 * 2 + 1;
  F even = F(c[last_even]);
  for (std::size_t j = last_even; j >= 2; j -= 2) even = even * x2 + F(c[j - 2]);
  F odd = F(c[last_odd]);
  for (std::size_t j = last_odd; j >= 3; j -= 2) odd = odd * x2 + F(c[j - 2]);
  return even + x * odd;
}

// The rounding error of p = fl(a * b): a * b = p + error exactly, by Dekker's splitting of a and b into
// halves of 26 and 27 bits. Exact when |a|, |b| < 2^995 and a * b is at least 2^-969 in magnitude; a
// policy may compute the same exact value with a fused multiply-subtract instead.
template <class L>
typename L::F dekker_product_error(typename L::F a, typename L::F b, typename L::F p) {
  using F = typename L::F;
  const F ca = a * kSplitter;
  const F a_hi = ca - (ca - a);
  const F a_lo = a - a_hi;
  const F cb = b * kSplitter;
  const F b_hi = cb - (cb - b);
  const F b_lo = b - b_hi;
  return ((a_hi * b_hi - p) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo;
}

// The rounding error of s = a + b for any a and b: a + b = s + error exactly.
template <class L>
typename L::F sum_error(typename L::F a, typename L::F b, typename L::F s) {
  const typename L::F b_part = s - a;
  return (a - (s - b_part)) + (b - b_part);
}

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

// Phi clamped into [1e-15, 1 - 1e-15]; a NaN Phi gives the lower bound. Past -x / sqrt 2 = +-6, Phi is
// below 1.1e-17 or rounds to 1 and is clamped either way, so erfc may take its value at +-6 there.
template <class L>
typename L::F clipped_cdf(typename L::F x) {
  using F = typename L::F;
  const F c = erfc<L, true>(-x / kSqrt2) * 0.5;
  return L::select(c >= F(kCdfLower), L::select(c <= F(kCdfUpper), c, F(kCdfUpper)), F(kCdfLower));
}

// ln Phi, phi / Phi and the curvature of -ln Phi, exact in both tails.
//
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

}  // namespace quorbis::normal::kernels
