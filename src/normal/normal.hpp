// The standard normal distribution: Phi(x) = erfc(-x / sqrt 2) / 2, phi(x) = exp(-x^2 / 2) / sqrt(2 pi),
// Phi clamped into [1e-15, 1 - 1e-15], and the functions of the probit likelihood, exact in both tails:
// ln Phi, phi / Phi and the curvature of -ln Phi. The block versions give the same bits as the
// single-value functions (see vector_math.hpp).
#pragma once

#include <cstddef>

#include "normal/vector_math.hpp"

namespace quorbis::normal {

inline constexpr double kSqrt2 = 1.4142135623730951;
inline constexpr double kSqrt2Pi = 2.5066282746310007;
inline constexpr double kCdfLower = 1e-15;
inline constexpr double kCdfUpper = 0.999999999999999;

// Phi(-inf) = 0 and Phi(+inf) = 1 exactly; NaN stays NaN.
double cdf(double x) noexcept;
// phi(+-inf) = 0; NaN stays NaN.
double pdf(double x) noexcept;
// A NaN Phi clamps to the lower bound.
double clipped_cdf(double z) noexcept;
// ln Phi(z) within 4 ulp where it is normal (no clamp, no log of an underflowed Phi): -inf at -inf.
double log_cdf(double z) noexcept;
// phi(z) / Phi(z) within 4 ulp, also where both underflow: about -z there, +inf at -inf, 0 at +inf.
double pdf_over_cdf(double z) noexcept;
// lambda (z + lambda) with lambda = phi(z) / Phi(z), -d^2/dz^2 ln Phi(z), in (0, 1); 1 at -inf, 0 at +inf.
double curvature_weight(double z) noexcept;

// out[i] = f(x[i]) for i < n; out may be x itself but must not overlap it otherwise.
void cdf_block(const double* x, double* out, std::size_t n) noexcept;
void pdf_block(const double* x, double* out, std::size_t n) noexcept;
void clipped_cdf_block(const double* x, double* out, std::size_t n) noexcept;
void log_cdf_block(const double* x, double* out, std::size_t n) noexcept;
void pdf_over_cdf_block(const double* x, double* out, std::size_t n) noexcept;
void curvature_weight_block(const double* x, double* out, std::size_t n) noexcept;
// log_cdf and pdf_over_cdf of each x[i] at once (cheaper than the two calls); neither output may overlap x.
void log_cdf_and_ratio_block(const double* x, double* log_cdf, double* ratio, std::size_t n) noexcept;

}  // namespace quorbis::normal
