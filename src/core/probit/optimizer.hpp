// Quasi-Newton maximisation of the probit log-likelihood with the Davidon-Fletcher-Powell update
// of an inverse-curvature matrix and step halving; optionally finished by Newton steps with the exact
// Hessian until the Newton decrement puts the coefficients within 1e-8 standard errors of the maximum.
//
// The optimiser does not own the data: it asks for the sums of a pass over the observations at some
// coefficients (request) and takes the evaluation back (respond), until done. A driver answers each
// request with one pass, over a working copy in memory or over blocks of rows held elsewhere.
#pragma once

#include <cstdint>
#include <optional>

#include "core/probit/matrix.hpp"
#include "core/probit/newton.hpp"
#include "core/probit/probit.hpp"

namespace quorbis::core::probit {

// The iteration limit and the tolerance of a fit that names neither.
inline constexpr std::uint64_t kDefaultMaxIter = 35;
inline constexpr double kDefaultTol = 1e-06;

struct Optimum {
  Vector params;
  double loglike = 0.0;
  std::uint64_t iterations = 0;  // index of the last iteration run, from 0
  bool converged = false;
  // What the caller asked to have at the optimum, evaluated at params; empty when nothing was asked.
  std::optional<Evaluation> at_optimum;
};

// What one pass must compute, and where.
struct Request {
  Vector beta;
  Wants wants;
};

class Optimizer {
 public:
  // at_optimum names what the caller will need at the returned coefficients. The optimiser adds it to
  // the pass of a step that it expects to be the last (the iteration limit, or a change of the
  // log-likelihood extrapolated below tol), which saves a pass whenever the expectation holds; when it
  // does not, one more request asks for it at the end.
  //
  // With newton, a fit that meets tol goes on with Newton steps (each an iteration), converged only once
  // the decrement is below newton_bound(tol). The quasi-Newton phase then adds just the Hessian to its
  // last pass, for the first step; each Newton step's pass brings at_optimum at its point, so that the
  // usual fit costs one pass more than without. A singular Hessian leaves the quasi-Newton verdict.
  Optimizer(std::size_t k, std::uint64_t max_iter, double tol, Wants at_optimum = {}, bool newton = false);

  bool done() const noexcept { return phase_ == Phase::done; }
  // The pending request; only while not done.
  const Request& request() const noexcept { return request_; }
  // The sums of the pending request at its beta; only while not done.
  void respond(Evaluation evaluation);
  const Optimum& optimum() const noexcept { return out_; }
  Optimum take_optimum() noexcept { return std::move(out_); }

 private:
  enum class Phase { start, first_trial, halving, accepted_point, newton_point, newton_trial, at_optimum, done };

  void ask(Phase phase, Vector beta, Wants wants);
  void begin_iteration(std::uint64_t t);
  void halve_or_accept();
  void accept(Evaluation evaluation);
  void keep_at_optimum(std::optional<Evaluation> evaluation, Wants asked);
  void begin_newton();
  void newton_from_here(std::optional<NewtonStep> step);
  void newton_trial(Evaluation evaluation);
  Wants newton_wants() const noexcept;
  void finish();

  std::uint64_t max_iter_;
  double tol_;
  Wants at_optimum_;
  bool newton_;
  bool at_optimum_complete_ = false;  // whether out_.at_optimum holds all of at_optimum_
  Phase phase_ = Phase::start;
  Request request_;
  Optimum out_;

  Matrix h_;  // inverse curvature
  Vector g_;  // gradient at out_.params
  double change_before_, change_last_;
  // The iteration in hand.
  double loglike_old_ = 0.0;
  Vector direction_;
  Wants step_extra_;  // what this step's pass adds for the end of the fit, when it is expected to be the last
  double alpha_ = 1.0;
  int halvings_ = 0;
  double trial_loglike_ = 0.0;
  Evaluation trial_;
  NewtonStep newton_in_hand_;  // the Newton step from out_.params
};

// The evaluation a request asks for, from one pass over probit's observations.
Evaluation answer(const Probit& probit, const Request& request);

// Drives an optimiser over the observations in memory, each request answered by one pass.
Optimum maximize(const Probit& probit, std::uint64_t max_iter, double tol, Wants at_optimum = {},
                 bool newton = false);

}  // namespace quorbis::core::probit
