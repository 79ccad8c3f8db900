#include "core/panel/newton.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/probit/covariance.hpp"

namespace quorbis::core::panel {
namespace {

// A column is explained when its residual sum of squares after the effects and the columns before it is
// at most this share of its weighted sum of squares.
constexpr double kExplained = 1e-10;
// The projections of the first step, which decide which columns are explained, and the coarsest.
constexpr double kFirstProjection = 1e-9;
constexpr double kCoarsestProjection = 1e-6;
constexpr int kHalvings = 10;

// The projections' tolerance after a change of the log-likelihood: a tenth of its relative size, so that
// the steps keep the accuracy Newton's method needs as they shrink.
double projection_tolerance(double change, double loglike) {
  const double relative = std::fabs(change) / (1.0 + std::fabs(loglike));
  if (!(relative == relative)) return kCoarsestProjection;
  return std::clamp(0.1 * relative, kFinestProjection, kCoarsestProjection);
}

// The columns, in order, whose residual after the columns kept before them (an incremental Cholesky
// factorisation of the demeaned Gram matrix) is at most kExplained of their sum of squares raw.
std::vector<std::size_t> explained_columns(const Matrix& gram, const Vector& raw) {
  const std::size_t k = gram.rows();
  std::vector<std::size_t> kept, omitted;
  Matrix factor(k, k);  // rows of the Cholesky factor of the kept columns, in kept order
  for (std::size_t j = 0; j < k; ++j) {
    Vector v(kept.size());
    for (std::size_t a = 0; a < kept.size(); ++a) {
      double s = gram(kept[a], j);
      for (std::size_t b = 0; b < a; ++b) s = s - factor(a, b) * v[b];
      v[a] = s / factor(a, a);
    }
    double residual = gram(j, j);
    for (double x : v) residual = residual - x * x;
    if (!(residual > kExplained * raw[j])) {
      omitted.push_back(j);
      continue;
    }
    const std::size_t row = kept.size();
    for (std::size_t b = 0; b < row; ++b) factor(row, b) = v[b];
    factor(row, row) = std::sqrt(residual);
    kept.push_back(j);
  }
  return omitted;
}

Matrix without(const Matrix& m, const std::vector<std::size_t>& omitted) {
  std::vector<std::size_t> keep;
  for (std::size_t j = 0; j < m.rows(); ++j) {
    if (!std::binary_search(omitted.begin(), omitted.end(), j)) keep.push_back(j);
  }
  Matrix out(keep.size(), keep.size());
  for (std::size_t a = 0; a < keep.size(); ++a) {
    for (std::size_t b = 0; b < keep.size(); ++b) out(a, b) = m(keep[a], keep[b]);
  }
  return out;
}

// Entries j of each row of width `width` that are not omitted.
template <class Values>
void drop_entries(Values& values, std::size_t width, const std::vector<std::size_t>& omitted) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::binary_search(omitted.begin(), omitted.end(), i % width)) values[out++] = values[i];
  }
  values.resize(out);
}

// The solution of -H step = g; empty when -H is singular.
Vector newton_step(const Matrix& hessian, const Vector& gradient) {
  const std::optional<Matrix> inverse = probit::gauss_jordan_inverse(probit::negated(hessian));
  if (!inverse) return {};
  return probit::multiply(*inverse, gradient);
}

bool finite(const Vector& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// The coefficients of the projections for a step: the columns' from the step before, the residual's zero.
Coefficients warm_start(const Layout& layout, const Coefficients& before, std::size_t width) {
  if (before.empty()) return zero_coefficients(layout, width);
  Coefficients a = before;
  for (auto& dimension : a) {
    for (std::size_t i = width - 1; i < dimension.size(); i += width) dimension[i] = 0.0;
  }
  return a;
}

// The step in the effects: the residual's coefficients less the columns' times the slopes' step.
Coefficients effects_step(const Layout& layout, const Coefficients& a, std::size_t k, const Vector& step) {
  Coefficients out(layout.dimensions());
  for (std::size_t d = 0; d < layout.dimensions(); ++d) {
    const std::size_t levels = layout.dimension(d).levels();
    out[d].resize(levels);
    for (std::size_t g = 0; g < levels; ++g) {
      const double* coef = a[d].data() + g * (k + 1);
      double s = coef[k];
      for (std::size_t j = 0; j < k; ++j) s = s - coef[j] * step[j];
      out[d][g] = s;
    }
  }
  return out;
}

// The first step leaves out the columns that the effects and the earlier columns explain.
void drop_explained(Layout& layout, Estimates& est, Coefficients& a, Demeaned& demeaned) {
  const std::size_t k = layout.k();
  est.omitted = explained_columns(probit::negated(demeaned.hessian), demeaned.raw_diagonal);
  if (est.omitted.empty()) return;
  layout.drop_columns(est.omitted);
  for (auto& dimension : a) drop_entries(dimension, k + 1, est.omitted);
  drop_entries(demeaned.gradient, k, est.omitted);
  demeaned.hessian = without(demeaned.hessian, est.omitted);
  drop_entries(est.beta, k, est.omitted);
}

Estimates iterate(Layout& layout, RowTerms& terms, Estimates est, const Control& control, bool slopes) {
  const CellSumsOf sums_of = slopes ? CellSumsOf::columns_and_residual : CellSumsOf::residual;
  Projector projector(layout);
  Likelihood at, trial;
  likelihood_pass(layout, est.beta, est.offsets, terms, sums_of, at);
  est.loglike = at.loglike;
  est.converged = false;
  double tolerance = kFirstProjection;
  std::vector<double> column_offsets;
  Vector trial_beta;
  Coefficients trial_effects;
  std::vector<double> trial_offsets;
  for (std::uint64_t t = 0; t < control.max_iter; ++t) {
    est.iterations = t;
    Coefficients a = warm_start(layout, slopes ? est.projections : Coefficients{}, (slopes ? layout.k() : 0) + 1);
    projector.project(at.sums, a, tolerance, kMaxSweeps);
    Vector step;
    if (slopes) {
      cell_offsets(layout, a, layout.k() + 1, column_offsets);
      Demeaned demeaned =
          demeaned_pass(layout, terms, column_offsets, layout.k() + 1, {.gradient = true, .raw_diagonal = t == 0});
      if (t == 0) drop_explained(layout, est, a, demeaned);
      step = newton_step(demeaned.hessian, demeaned.gradient);
      if (step.size() != layout.k()) break;  // a singular Hessian: no direction to go
      est.projections = a;
    }
    const std::size_t k = step.size();
    const Coefficients effect_step = effects_step(layout, a, k, step);
    trial_beta = est.beta;
    trial_effects = est.effects;
    double factor = 1.0;
    for (int halving = 0;; ++halving, factor = 0.5 * factor) {
      for (std::size_t j = 0; j < k; ++j) trial_beta[j] = est.beta[j] + factor * step[j];
      for (std::size_t d = 0; d < layout.dimensions(); ++d) {
        for (std::size_t g = 0; g < effect_step[d].size(); ++g) {
          trial_effects[d][g] = est.effects[d][g] + factor * effect_step[d][g];
        }
      }
      cell_offsets(layout, trial_effects, 1, trial_offsets);
      likelihood_pass(layout, trial_beta, trial_offsets, terms, sums_of, trial);
      if (trial.loglike >= est.loglike || halving == kHalvings) break;
    }
    const double change = trial.loglike - est.loglike;
    std::swap(est.beta, trial_beta);
    std::swap(est.effects, trial_effects);
    std::swap(est.offsets, trial_offsets);
    std::swap(at, trial);
    est.loglike = at.loglike;
    if (!finite(est.beta) || !std::isfinite(est.loglike)) break;
    if (std::fabs(change) < control.tol) {
      est.converged = true;
      break;
    }
    tolerance = projection_tolerance(change, est.loglike);
  }
  est.sums = std::move(at.sums);
  return est;
}

}  // namespace

Estimates maximize(Layout& layout, RowTerms& terms, const Control& control) {
  Estimates start;
  start.beta.assign(layout.k(), 0.0);
  start.effects = zero_coefficients(layout, 1);
  start.offsets.assign(layout.cells(), 0.0);
  return iterate(layout, terms, std::move(start), control, true);
}

Estimates maximize_effects(Layout& layout, RowTerms& terms, Estimates start, const Control& control) {
  return iterate(layout, terms, std::move(start), control, false);
}

}  // namespace quorbis::core::panel
