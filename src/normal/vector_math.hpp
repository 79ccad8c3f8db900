// erfc, exp and log for single doubles and for arrays of doubles. The array versions use AVX2 when the
// CPU has it (checked at run time) and portable code otherwise; all paths run the same operations in
// the same order, so every result is the same bit for bit on every machine and equals the single-value
// function. Accuracy, for every double argument and subnormal results included: erfc within 1.5 ulp
// of the exact value, exp and log within 1 ulp. erfc(+-inf) = 0 and 2, exp(-inf) = 0, exp overflows to
// +inf, log(+-0) = -inf, log of a negative number is NaN, and a NaN argument is returned unchanged.
#pragma once

#include <cstddef>

namespace quorbis::normal {

double erfc(double x) noexcept;
double exp(double x) noexcept;
double log(double x) noexcept;

// out[i] = f(x[i]) for i < n; out may be x itself but must not overlap it otherwise.
void erfc_block(const double* x, double* out, std::size_t n) noexcept;
void exp_block(const double* x, double* out, std::size_t n) noexcept;
void log_block(const double* x, double* out, std::size_t n) noexcept;

// Whether this CPU can run the SIMD path of the block functions.
bool simd_supported() noexcept;
// Allows or forbids the SIMD path (allowed by default); returns the previous setting. Results do not
// change, only speed: tests use it to compare the two paths.
bool set_simd_enabled(bool enabled) noexcept;

}  // namespace quorbis::normal
