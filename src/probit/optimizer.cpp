#include "probit/optimizer.hpp"

#include <cmath>
#include <limits>

#include "probit/covariance.hpp"

namespace quorbis::probit {
namespace {

constexpr int kMaxHalvings = 10;
constexpr double kCurvatureThreshold = 1e-14;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

// The accepted point of one iteration, its log-likelihood and the evaluation there.
struct Step {
  Vector params;
  double loglike = 0.0;
  Evaluation evaluation;
};

// From beta along direction: the full step, halved while the log-likelihood stays below loglike_old,
// at most kMaxHalvings times. The first trial's pass also yields the gradient and `extra`, which are
// kept when no halving is needed; otherwise one more pass at the accepted point yields them.
Step take_step(const Probit& probit, const Vector& beta, double loglike_old, const Vector& direction,
               Wants extra) {
  Wants wants = joined({.loglike = true, .gradient = true}, extra);
  double alpha = 1.0;
  Step out;
  out.params = step(beta, alpha, direction);
  out.evaluation = probit.evaluate(out.params, wants);
  out.loglike = out.evaluation.loglike;
  bool halved = false;
  for (int halvings = 0; out.loglike < loglike_old && halvings < kMaxHalvings; ++halvings) {
    alpha *= 0.5;
    out.params = step(beta, alpha, direction);
    out.loglike = probit.log_likelihood(out.params);
    halved = true;
  }
  if (halved) {
    wants.loglike = false;  // known from the last halving
    out.evaluation = probit.evaluate(out.params, wants);
  }
  return out;
}

}  // namespace

Optimum fit_bfgs(const Probit& probit, std::uint64_t max_iter, double tol, Wants at_optimum) {
  Optimum out;
  out.params.assign(probit.k(), 0.0);
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

    const bool expect_last = t + 1 == max_iter || expects_convergence(change_before, change_last, tol);
    Step accepted = take_step(probit, out.params, loglike_old, direction, expect_last ? at_optimum : Wants{});

    Vector s(g.size()), y(g.size());
    for (std::size_t j = 0; j < g.size(); ++j) {
      s[j] = accepted.params[j] - out.params[j];
      y[j] = accepted.evaluation.gradient[j] - g[j];
    }
    dfp_update(h, s, y);

    out.params = std::move(accepted.params);
    out.loglike = accepted.loglike;
    g = std::move(accepted.evaluation.gradient);
    if (expect_last) {
      out.at_optimum = std::move(accepted.evaluation);
    } else {
      out.at_optimum.reset();
    }
    // The clamped likelihood stays finite when the coefficients are not, so it cannot tell a
    // coefficient vector of NaN from a maximum: such a fit stops here as not converged.
    if (!all_finite(out.params)) return out;
    const double change = std::fabs(out.loglike - loglike_old);
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
