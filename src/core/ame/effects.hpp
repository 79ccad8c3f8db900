// Average marginal effects of a probit model with delta-method standard errors, z and two-sided p:
// AME_j = mean over rows of d Phi(x.b) / d x_j (a discrete change for 0/1 columns),
// SE_j = sqrt((J V J')_jj) with J the Jacobian of the AMEs in b, floored at 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/ame/columns.hpp"
#include "core/strided.hpp"

namespace quorbis::core::ame {

struct ProbitFit {
  core::MatrixView exog;    // n x k
  core::VectorView params;  // k
  core::MatrixView cov;     // k x k
};

struct ColumnEffect {
  std::size_t column;
  double effect, std_err, z, p_value;
};

// The sums over the rows from which the effects and their Jacobian follow, before division by n.
struct EffectSums {
  std::vector<double> effects;   // A: k
  std::vector<double> jacobian;  // G: k x k, row-major
};

// The sums over the rows of exog, chunk by chunk (chunk_size rows each, at least 1), chunks in row order.
EffectSums effect_sums(const core::MatrixView& exog, const core::VectorView& params, const ColumnKinds& kinds,
                       std::uint64_t chunk_size);

// An effect with the standard error sqrt(variance) (0 for a negative variance, which is rounding around 0),
// its z and its two-sided p-value.
ColumnEffect column_effect(std::size_t column, double effect, double variance) noexcept;

// The effects and their standard errors from the sums over n rows.
std::vector<ColumnEffect> effects_from_sums(const EffectSums& sums, std::uint64_t n, const core::MatrixView& cov,
                                            const std::vector<bool>& intercept);

// One entry per column that is not an intercept, in column order. Rows are summed chunk by chunk
// (chunk_size rows each, at least 1; all rows when absent). The shapes must agree.
std::vector<ColumnEffect> average_marginal_effects(const ProbitFit& fit, const std::vector<bool>& intercept,
                                                   std::optional<std::uint64_t> chunk_size);

}  // namespace quorbis::core::ame
