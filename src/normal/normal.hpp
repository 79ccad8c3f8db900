// The standard normal distribution: Phi(x) = erfc(-x / sqrt 2) / 2, phi(x) = exp(-x^2 / 2) / sqrt(2 pi),
// and Phi clamped into [1e-15, 1 - 1e-15] for use inside logarithms and denominators. The block versions
// give the same bits as the single-value functions (see vector_math.hpp).
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

// out[i] = f(x[i]) for i < n; out may be x itself but must not overlap it otherwise.
void cdf_block(const double* x, double* out, std::size_t n) noexcept;
void pdf_block(const double* x, double* out, std::size_t n) noexcept;
void clipped_cdf_block(const double* x, double* out, std::size_t n) noexcept;

}  // namespace quorbis::normal
