// The normal functions that the core evaluates one value at a time: erfc, and the terms of the probit
// likelihood ln Phi and phi / Phi, exact in both tails. They run the kernels of normal/kernels, as the
// block forms of core/simd/normal_blocks.hpp do, and give the same bits on every machine.
#pragma once

#include "core/normal/kernels/constants.hpp"

namespace quorbis::core::normal {

using kernels::kSqrt2;

// Within 1.5 ulp of the exact value for every double: erfc(+-inf) = 0 and 2; NaN stays NaN.
double erfc(double x) noexcept;
// ln Phi(z) within 4 ulp where it is normal (no clamp, no log of an underflowed Phi): -inf at -inf.
double log_cdf(double z) noexcept;
// phi(z) / Phi(z) within 4 ulp, also where both underflow: about -z there, +inf at -inf, 0 at +inf.
double pdf_over_cdf(double z) noexcept;

}  // namespace quorbis::core::normal
