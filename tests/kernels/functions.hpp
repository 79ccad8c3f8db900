// Every normal function by name, in its single-value and its block form, for the tests that compare
// them with each other and with exact values. The block forms of the core's own kernels are those its
// dispatch table hands out; the others come from extra_blocks.hpp, chosen the same way.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "core/simd/normal_blocks.hpp"

namespace quorbis::tests::kernels {

using Value = double (*)(double) noexcept;

struct Function {
  const char* name;
  Value value;
  core::simd::NormalBlock block;
};

// erfc, exp, log, cdf, pdf, clipped_cdf, log_cdf, pdf_over_cdf, curvature_weight, in that order.
std::span<const Function> functions() noexcept;

// The function of that name, or null.
const Function* find(std::string_view name) noexcept;

}  // namespace quorbis::tests::kernels
