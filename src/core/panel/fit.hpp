// A probit with fixed effects in one call: the removal of perfectly predicted levels, the rows copied in
// the order of their levels, the maximum likelihood, the slopes' covariance, and when asked the analytical
// bias correction with the effects and covariance at the corrected slopes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/panel/newton.hpp"
#include "core/panel/problem.hpp"
#include "core/probit/covariance.hpp"

namespace quorbis::core::panel {

struct FitOptions {
  Control control;
  probit::Covariance covariance = probit::Covariance::classical;
  bool small_sample = false;  // each term of a multiway covariance times G/(G - 1)
  std::optional<std::size_t> correction_lags;  // L of the bias correction; none: maximum likelihood only
};

// Estimates in the caller's terms: one slope per column of the problem (NaN for an omitted one), one effect
// per code of each dimension (NaN for a code without rows).
struct Report {
  Vector params;
  Matrix cov;
  std::size_t negative_eigenvalues = 0;  // that a multiway covariance had set to 0
  std::vector<std::vector<double>> effects;
  double loglike = 0.0;
  std::uint64_t iterations = 0;
  bool converged = false;
};

struct FitResult {
  Report reported;                   // the corrected estimates when a correction was asked for
  std::optional<Report> uncorrected;  // then the maximum likelihood estimates
  std::vector<std::uint8_t> kept;    // of each row
  std::size_t kept_rows = 0;         // none: nothing to fit, and no estimates
  std::vector<std::size_t> removed_levels;
  std::vector<std::size_t> omitted;  // columns of the problem, increasing
};

FitResult fit(const Problem& problem, const FitOptions& options);

// Each cell's sum of effects given per code of each dimension (as Report::effects holds them).
std::vector<double> offsets_of(const Layout& layout, const std::vector<std::vector<double>>& effects);

}  // namespace quorbis::core::panel
