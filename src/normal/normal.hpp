// The standard normal distribution: Phi(x) = erfc(-x / sqrt 2) / 2, phi(x) = exp(-x^2 / 2) / sqrt(2 pi),
// and Phi clamped into [1e-15, 1 - 1e-15] for use inside logarithms and denominators.
#pragma once

#include <cmath>

namespace quorbis::normal {

inline constexpr double kSqrt2 = 1.4142135623730951;
inline constexpr double kSqrt2Pi = 2.5066282746310007;
inline constexpr double kCdfLower = 1e-15;
inline constexpr double kCdfUpper = 0.999999999999999;

// erfc(+inf) = 0 and erfc(-inf) = 2 give Phi(-inf) = 0 and Phi(+inf) = 1 exactly; NaN stays NaN.
inline double cdf(double x) noexcept { return std::erfc(-x / kSqrt2) * 0.5; }

inline double pdf(double x) noexcept { return std::exp(x * (x * -0.5)) / kSqrt2Pi; }

// fmax and fmin drop a NaN operand, so a NaN Phi clamps to the lower bound.
inline double clipped_cdf(double z) noexcept { return std::fmin(std::fmax(cdf(z), kCdfLower), kCdfUpper); }

}  // namespace quorbis::normal
