// The normal functions over arrays, as the probit passes and the effects need them: one implementation
// per instruction set, each running the kernels of normal/kernels, so every path gives the bits of the
// single-value functions. normal_blocks() hands out the set for this CPU.
#pragma once

#include <cstddef>

namespace quorbis::core::simd {

// out[i] = f(x[i]) for i < n; out may be x itself but must not overlap it otherwise.
using NormalBlock = void (*)(const double* x, double* out, std::size_t n) noexcept;

struct NormalBlocks {
  NormalBlock cdf;               // Phi: 0 at -inf, 1 at +inf; NaN stays NaN
  NormalBlock pdf;               // phi: 0 at +-inf; NaN stays NaN
  NormalBlock log_cdf;           // ln Phi, exact in both tails
  NormalBlock pdf_over_cdf;      // phi / Phi, exact in both tails
  NormalBlock curvature_weight;  // lambda (z + lambda), lambda = phi(z) / Phi(z): 1 at -inf, 0 at +inf
  // log_cdf and pdf_over_cdf of each x[i] at once (cheaper than the two calls); neither output may overlap x.
  void (*log_cdf_and_ratio)(const double* x, double* log_cdf, double* ratio, std::size_t n) noexcept;
};

// The AVX2 set when the CPU has it and fast paths are enabled (see cpu.hpp), else the portable one.
const NormalBlocks& normal_blocks() noexcept;

namespace portable {
const NormalBlocks& normal_blocks() noexcept;
}  // namespace portable

namespace avx2 {
// Defined only in builds with the AVX2 path; use only when avx2_supported().
const NormalBlocks& normal_blocks() noexcept;
}  // namespace avx2

}  // namespace quorbis::core::simd
