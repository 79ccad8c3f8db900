#include "probit/optimizer.hpp"

#include <cmath>

#include "probit/covariance.hpp"

namespace quorbis::probit {
namespace {

constexpr int kMaxHalvings = 10;
constexpr double kCurvatureThreshold = 1e-14;

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

Vector step(const Vector& beta, double alpha, const Vector& direction) {
  Vector trial(beta.size());
  for (std::size_t j = 0; j < beta.size(); ++j) trial[j] = beta[j] + alpha * direction[j];
  return trial;
}

}  // namespace

Optimum fit_bfgs(const Probit& probit, std::uint64_t max_iter, double tol) {
  Optimum out{Vector(probit.k(), 0.0)};
  Evaluation start = probit.evaluate(out.params, {.gradient = true, .hessian = max_iter > 0});
  out.loglike = start.loglike;
  if (max_iter == 0) return out;
  Vector g = std::move(start.gradient);
  Matrix h = starting_inverse_curvature(start.hessian);

  for (std::uint64_t t = 0; t < max_iter; ++t) {
    out.iterations = t;
    const double loglike_old = out.loglike;
    Vector direction = multiply(h, g);
    for (double& d : direction) d = -d;

    // The first trial also yields its gradient, which is kept when no halving is needed.
    double alpha = 1.0;
    Vector trial = step(out.params, alpha, direction);
    Evaluation first = probit.evaluate(trial, {.gradient = true});
    double loglike_new = first.loglike;
    Vector g_new = std::move(first.gradient);
    bool halved = false;
    for (int halvings = 0; loglike_new < loglike_old && halvings < kMaxHalvings; ++halvings) {
      alpha *= 0.5;
      trial = step(out.params, alpha, direction);
      loglike_new = probit.log_likelihood(trial);
      halved = true;
    }
    if (halved) g_new = probit.evaluate(trial, {.gradient = true}).gradient;

    Vector s(trial.size()), y(trial.size());
    for (std::size_t j = 0; j < trial.size(); ++j) {
      s[j] = trial[j] - out.params[j];
      y[j] = g_new[j] - g[j];
    }
    dfp_update(h, s, y);

    out.params = std::move(trial);
    g = std::move(g_new);
    out.loglike = loglike_new;
    // The clamped likelihood stays finite when the coefficients are not, so it cannot tell a
    // coefficient vector of NaN from a maximum: such a fit stops here as not converged.
    if (!all_finite(out.params)) return out;
    if (std::fabs(loglike_new - loglike_old) < tol) {
      out.converged = true;
      return out;
    }
  }
  return out;
}

}  // namespace quorbis::probit
