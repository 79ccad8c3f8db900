#include "core/probit/optimizer.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "core/probit/covariance.hpp"

namespace quorbis::core::probit {
namespace {

constexpr int kMaxHalvings = 10;
constexpr double kCurvatureThreshold = 1e-14;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTwoOverPi = 0.6366197723675814;

// At beta = 0 every curvature weight lambda_i (eta_i + lambda_i) is (2/pi) q_i^2, so the Hessian there
// is -2/pi times the Gram matrix of the rows q_i x_i.
Matrix hessian_at_zero(Matrix gram) {
  for (std::size_t r = 0; r < gram.rows(); ++r) {
    for (std::size_t c = 0; c < gram.cols(); ++c) gram(r, c) = -(kTwoOverPi * gram(r, c));
  }
  return gram;
}

// The inverse of the Hessian h at the start, so that the first step is a Newton step; when h is
// singular (by the covariance's scale-free test), the diagonal -1 / J_jj (J = -h), with -1 where J_jj
// is not a positive finite number.
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
          .gram = a.gram || b.gram,
          .score_outer_sum = a.score_outer_sum || b.score_outer_sum,
          .clusters = a.clusters != nullptr ? a.clusters : b.clusters,
          .largest_index = a.largest_index || b.largest_index};
}

// Whether the next change of the log-likelihood, extrapolated from the last two by their ratio, falls
// below tol. Near the maximum the changes shrink at least geometrically; a NaN or zero change never
// predicts convergence.
bool expects_convergence(double change_before, double change_last, double tol) noexcept {
  return change_last * (change_last / change_before) < tol;
}

Vector step_from(const Vector& beta, double alpha, const Vector& direction) {
  Vector trial(beta.size());
  for (std::size_t j = 0; j < beta.size(); ++j) trial[j] = beta[j] + alpha * direction[j];
  return trial;
}

bool any(const Wants& w) noexcept {
  return w.loglike || w.gradient || w.hessian || w.gram || w.score_outer_sum || w.clusters != nullptr ||
         w.largest_index;
}

// Whether a pass that computed have computed all that need names.
bool covers(const Wants& have, const Wants& need) noexcept {
  return (have.loglike || !need.loglike) && (have.gradient || !need.gradient) && (have.hessian || !need.hessian) &&
         (have.gram || !need.gram) && (have.score_outer_sum || !need.score_outer_sum) &&
         (have.clusters != nullptr || need.clusters == nullptr) && (have.largest_index || !need.largest_index);
}

bool only_loglike(const Wants& w) noexcept {
  Wants rest = w;
  rest.loglike = false;
  return w.loglike && !any(rest);
}

}  // namespace

Optimizer::Optimizer(std::size_t k, std::uint64_t max_iter, double tol, Wants at_optimum, bool newton)
    : max_iter_(max_iter), tol_(tol), at_optimum_(at_optimum), newton_(newton), change_before_(kNaN),
      change_last_(kNaN) {
  out_.params.assign(k, 0.0);
  const Wants start{.loglike = true, .gradient = true, .gram = max_iter > 0};
  ask(Phase::start, out_.params, max_iter == 0 ? joined(start, at_optimum) : start);
}

void Optimizer::ask(Phase phase, Vector beta, Wants wants) {
  phase_ = phase;
  request_ = {std::move(beta), wants};
}

void Optimizer::respond(Evaluation evaluation) {
  switch (phase_) {
    case Phase::start:
      out_.loglike = evaluation.loglike;
      if (max_iter_ == 0) {
        keep_at_optimum(std::move(evaluation), request_.wants);
        return finish();
      }
      g_ = std::move(evaluation.gradient);
      h_ = starting_inverse_curvature(hessian_at_zero(std::move(evaluation.gram)));
      return begin_iteration(0);
    case Phase::first_trial:
      // The first trial's pass also yields the gradient and the wants at the optimum, kept when no
      // halving is needed.
      trial_loglike_ = evaluation.loglike;
      trial_ = std::move(evaluation);
      return halve_or_accept();
    case Phase::halving:
      trial_loglike_ = evaluation.loglike;
      ++halvings_;
      return halve_or_accept();
    case Phase::accepted_point:
      return accept(std::move(evaluation));
    case Phase::newton_point: {
      std::optional<NewtonStep> step = newton_step(evaluation.hessian, g_);
      keep_at_optimum(std::move(evaluation), request_.wants);
      return newton_from_here(std::move(step));
    }
    case Phase::newton_trial:
      return newton_trial(std::move(evaluation));
    case Phase::at_optimum:
      keep_at_optimum(std::move(evaluation), request_.wants);
      phase_ = Phase::done;
      return;
    case Phase::done:
      return;
  }
}

void Optimizer::begin_iteration(std::uint64_t t) {
  if (t == max_iter_) return finish();
  out_.iterations = t;
  loglike_old_ = out_.loglike;
  direction_ = multiply(h_, g_);
  for (double& d : direction_) d = -d;
  // A step expected to meet tol before the limit leads, with newton, to Newton steps, which need only
  // the Hessian here: at_optimum comes with their own passes.
  if (t + 1 == max_iter_) {
    step_extra_ = at_optimum_;
  } else if (expects_convergence(change_before_, change_last_, tol_)) {
    step_extra_ = newton_ ? Wants{.hessian = true} : at_optimum_;
  } else {
    step_extra_ = {};
  }
  alpha_ = 1.0;
  halvings_ = 0;
  ask(Phase::first_trial, step_from(out_.params, alpha_, direction_),
      joined({.loglike = true, .gradient = true}, step_extra_));
}

// The full step is halved while the log-likelihood stays below the last one, at most kMaxHalvings
// times; after a halving, one more pass at the accepted point yields the gradient and the wants.
void Optimizer::halve_or_accept() {
  if (trial_loglike_ < loglike_old_ && halvings_ < kMaxHalvings) {
    alpha_ *= 0.5;
    return ask(Phase::halving, step_from(out_.params, alpha_, direction_), {.loglike = true});
  }
  if (halvings_ == 0) return accept(std::move(trial_));
  ask(Phase::accepted_point, std::move(request_.beta), joined({.gradient = true}, step_extra_));
}

void Optimizer::accept(Evaluation evaluation) {
  const Vector& params = request_.beta;
  Vector s(g_.size()), y(g_.size());
  for (std::size_t j = 0; j < g_.size(); ++j) {
    s[j] = params[j] - out_.params[j];
    y[j] = evaluation.gradient[j] - g_[j];
  }
  dfp_update(h_, s, y);

  out_.params = std::move(request_.beta);
  out_.loglike = trial_loglike_;
  g_ = std::move(evaluation.gradient);
  const bool extra = any(step_extra_);
  keep_at_optimum(extra ? std::optional<Evaluation>(std::move(evaluation)) : std::nullopt, step_extra_);
  // Coefficients that are not finite are no maximum, whatever the likelihood there compares like:
  // such a fit stops here as not converged.
  if (!all_finite(out_.params)) return finish();
  const double change = std::fabs(out_.loglike - loglike_old_);
  if (change < tol_) {
    if (newton_) return begin_newton();
    out_.converged = true;
    return finish();
  }
  change_before_ = change_last_;
  change_last_ = change;
  begin_iteration(out_.iterations + 1);
}

void Optimizer::keep_at_optimum(std::optional<Evaluation> evaluation, Wants asked) {
  at_optimum_complete_ = evaluation.has_value() && covers(asked, at_optimum_);
  out_.at_optimum = std::move(evaluation);
}

// The Hessian at the point where tol was met comes with the last step's pass when that step was
// expected to be the last; else one pass asks for it (a Newton step nearly always follows, and brings
// at_optimum with it).
void Optimizer::begin_newton() {
  if (out_.at_optimum && !out_.at_optimum->hessian.values().empty()) {
    return newton_from_here(newton_step(out_.at_optimum->hessian, g_));
  }
  ask(Phase::newton_point, out_.params, {.hessian = true});
}

void Optimizer::newton_from_here(std::optional<NewtonStep> step) {
  // A singular Hessian leaves no standard errors to measure the distance by: the verdict of tol stands.
  if (!step || step->decrement <= newton_bound(tol_)) {
    out_.converged = true;
    return finish();
  }
  if (!std::isfinite(step->decrement) || out_.iterations + 1 >= max_iter_) return finish();
  ++out_.iterations;
  newton_in_hand_ = *std::move(step);
  loglike_old_ = out_.loglike;
  alpha_ = 1.0;
  halvings_ = 0;
  ask(Phase::newton_trial, step_from(out_.params, alpha_, newton_in_hand_.step), newton_wants());
}

// A trial point is taken when the log-likelihood rose, or when the decrement fell: near the maximum the
// log-likelihood changes by less than its rounding, the decrement by orders of magnitude. Otherwise the
// step is halved, at most kMaxHalvings times; then the last point stands, not converged.
void Optimizer::newton_trial(Evaluation evaluation) {
  std::optional<NewtonStep> next = newton_step(evaluation.hessian, evaluation.gradient);
  const bool progress = evaluation.loglike >= loglike_old_ || (next && next->decrement < newton_in_hand_.decrement);
  if (!progress) {
    if (halvings_ == kMaxHalvings) return finish();
    ++halvings_;
    alpha_ *= 0.5;
    return ask(Phase::newton_trial, step_from(out_.params, alpha_, newton_in_hand_.step), newton_wants());
  }
  out_.params = std::move(request_.beta);
  out_.loglike = evaluation.loglike;
  g_ = evaluation.gradient;
  keep_at_optimum(std::move(evaluation), request_.wants);
  if (!all_finite(out_.params)) return finish();
  newton_from_here(std::move(next));
}

Wants Optimizer::newton_wants() const noexcept {
  return joined({.loglike = true, .gradient = true, .hessian = true}, at_optimum_);
}

void Optimizer::finish() {
  if (at_optimum_complete_ || !any(at_optimum_)) {
    phase_ = Phase::done;
    return;
  }
  ask(Phase::at_optimum, out_.params, at_optimum_);
}

Evaluation answer(const Probit& probit, const Request& request) {
  if (!only_loglike(request.wants)) return probit.evaluate(request.beta, request.wants);
  Evaluation out;
  out.loglike = probit.log_likelihood(request.beta);
  return out;
}

Optimum maximize(const Probit& probit, std::uint64_t max_iter, double tol, Wants at_optimum, bool newton) {
  Optimizer optimizer(probit.k(), max_iter, tol, at_optimum, newton);
  while (!optimizer.done()) optimizer.respond(answer(probit, optimizer.request()));
  return optimizer.take_optimum();
}

}  // namespace quorbis::core::probit
