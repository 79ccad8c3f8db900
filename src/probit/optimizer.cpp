#include "probit/optimizer.hpp"

#include <cmath>

#include "probit/covariance.hpp"

namespace quorbis::probit {
namespace {

constexpr int kMaxHalvings = 10;
constexpr double kCurvatureThreshold = 1e-14;
constexpr double kNaN = __builtin_nan("");

// The inverse of the Hessian h at the start, so that the first step is a Newton step; when h is
// singular, the diagonal -1 / J_jj (J = -h), with -1 where J_jj is not a positive finite number.
Matrix starting_inverse_curvature(const Matrix& h) {
  if (auto inverse = gauss_jordan_inverse(h)) return *std::move(inverse);
  Matrix start(h.rows(), h.cols());
  for (std::size_t j = 0; j < h.rows(); ++j) {
    const double j_jj = -h(j, j);
    start(j, j) = (std::isfinite(j_jj) && j_jj > 0.0) ? -1.0 / j_jj : -1.0;
  }
  return start;
}

// H <- H + s s'/(s'y) - (Hy)(Hy)'/(y'Hy), skipped when either denominator nearly vanishes.
void dfp_update(Matrix& h, const Vector& s, const Vector& y) {
  const double sigma = dot(s, y);
  if (!(std::fabs(sigma) > kCurvatureThreshold)) return;
  const Vector u = multiply(h, y);
  Vector y_h(h.cols(), 0.0);  // the row vector y'H
  for (std::size_t j = 0; j < h.cols(); ++j) {
    double sum = 0.0;
    for (std::size_t i = 0; i < h.rows(); ++i) sum += y[i] * h(i, j);
    y_h[j] = sum;
  }
  const double w = dot(y_h, y);
  if (!(std::fabs(w) > kCurvatureThreshold)) return;
  for (std::size_t i = 0; i < h.rows(); ++i) {
    for (std::size_t j = 0; j < h.cols(); ++j) {
      const double a = (s[i] * s[j]) / sigma;
      const double b = (u[i] * u[j]) / w;
      h(i, j) = (a - b) + h(i, j);
    }
  }
}

bool all_finite(const Vector& v) noexcept {
  for (double x : v) {
    if (!std::isfinite(x)) return false;
  }
  return true;
}

// Both sets of wants in one pass.
Wants joined(Wants a, Wants b) noexcept {
  return {.loglike = a.loglike || b.loglike,
          .gradient = a.gradient || b.gradient,
          .hessian = a.hessian || b.hessian,
          .score_outer_sum = a.score_outer_sum || b.score_outer_sum,
          .clusters = a.clusters != nullptr ? a.clusters : b.clusters};
}

// Whether the next change of the log-likelihood, extrapolated from the last two by their ratio, falls
// below tol. Near the maximum the changes shrink at least geometrically; a NaN or zero change never
// predicts convergence.
bool expects_convergence(double change_before, double change_last, double tol) noexcept {
  return change_last * (change_last / change_before) < tol;
}

Vector step(const Vector& beta, double alpha, const Vector& direction) {
  Vector trial(beta.size());
  for (std::size_t j = 0; j < beta.size(); ++j) trial[j] = beta[j] + alpha * direction[j];
  return trial;
}

}  // namespace

Optimum fit_bfgs(const Probit& probit, std::uint64_t max_iter, double tol, Wants at_optimum) {
  Optimum out{Vector(probit.k(), 0.0)};
  const Wants start_wants{.loglike = true, .gradient = true, .hessian = max_iter > 0};
  Evaluation start = probit.evaluate(out.params, max_iter == 0 ? joined(start_wants, at_optimum) : start_wants);
  out.loglike = start.loglike;
  if (max_iter == 0) {
    out.at_optimum = std::move(start);
    return out;
  }
  Vector g = std::move(start.gradient);
  Matrix h = starting_inverse_curvature(start.hessian);

  double change_before = kNaN, change_last = kNaN;
  for (std::uint64_t t = 0; t < max_iter; ++t) {
    out.iterations = t;
    const double loglike_old = out.loglike;
    Vector direction = multiply(h, g);
    for (double& d : direction) d = -d;

    // The first trial also yields its gradient, which is kept when no halving is needed.
    const bool expect_last = t + 1 == max_iter || expects_convergence(change_before, change_last, tol);
    const Wants wants = joined({.loglike = true, .gradient = true}, expect_last ? at_optimum : Wants{});
    double alpha = 1.0;
    Vector trial = step(out.params, alpha, direction);
    Evaluation at_trial = probit.evaluate(trial, wants);
    double loglike_new = at_trial.loglike;
    bool halved = false;
    for (int halvings = 0; loglike_new < loglike_old && halvings < kMaxHalvings; ++halvings) {
      alpha *= 0.5;
      trial = step(out.params, alpha, direction);
      loglike_new = probit.log_likelihood(trial);
      halved = true;
    }
    if (halved) {
      Wants again = wants;
      again.loglike = false;  // known from the last halving
      at_trial = probit.evaluate(trial, again);
    }

    Vector s(trial.size()), y(trial.size());
    for (std::size_t j = 0; j < trial.size(); ++j) {
      s[j] = trial[j] - out.params[j];
      y[j] = at_trial.gradient[j] - g[j];
    }
    dfp_update(h, s, y);

    out.params = std::move(trial);
    g = std::move(at_trial.gradient);
    out.loglike = loglike_new;
    if (expect_last) {
      out.at_optimum = std::move(at_trial);
    } else {
      out.at_optimum.reset();
    }
    // The clamped likelihood stays finite when the coefficients are not, so it cannot tell a
    // coefficient vector of NaN from a maximum: such a fit stops here as not converged.
    if (!all_finite(out.params)) return out;
    const double change = std::fabs(loglike_new - loglike_old);
    if (change < tol) {
      out.converged = true;
      return out;
    }
    change_before = change_last;
    change_last = change;
  }
  return out;
}

}  // namespace quorbis::probit
