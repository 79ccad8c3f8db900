// The sums of problem.hpp over the blocks of rows of one task.
#pragma once

#include <cstddef>
#include <vector>

#include "core/column_block.hpp"
#include "core/margins/problem.hpp"

namespace quorbis::core::margins {

// What each scenario is wanted for: positions in MarginSums of its predictions, and its derivatives.
struct ScenarioWork {
  std::vector<std::size_t> predictions;
  std::vector<std::size_t> derivatives;  // indices into MarginProblem::derivatives
  bool constant_derivative = false;      // one of them has constant entries only
};

std::vector<ScenarioWork> scenario_work(const MarginProblem& problem);

class TaskSums {
 public:
  // problem and work must outlive this object; rows arrive in blocks of at most block_rows.
  TaskSums(const MarginProblem& problem, const std::vector<ScenarioWork>& work, std::size_t block_rows);

  void clear() noexcept;
  // Adds rows [begin, end) of the problem, at most block_rows of them.
  void add_block(std::ptrdiff_t begin, std::ptrdiff_t end);
  // Adds this task's sums to total, whose rows precede them.
  void add_to(MarginSums& total) const noexcept;

 private:
  // The block's values of an entry, or null for a constant.
  const double* source(const Entry& e) const noexcept;
  double value(const Entry& e, std::size_t r) const noexcept;
  const double* scenario_index(const Scenario& scenario, std::size_t m);
  // out_l = sum weight x*_l over the block, x* the scenario's columns.
  void weighted_columns(const double* weight, const Scenario& scenario, std::size_t m, std::vector<double>& out);
  void add_predictions(const ScenarioWork& work, const Scenario& scenario, const double* eta, const double* wf,
                       std::size_t m);
  void add_derivative(std::size_t q, const Derivative& d, const Scenario& scenario, const double* eta,
                      const double* wf, double wf_sum, std::size_t m);
  double* jacobian_row(std::size_t q) noexcept { return jacobian_.data() + q * k_; }

  const MarginProblem& problem_;
  const std::vector<ScenarioWork>& work_;
  std::size_t k_;
  std::vector<double> params_;

  // The current block: its columns, extras and weights, and block-length scratch.
  ColumnBlock x_{nullptr, 0};
  std::vector<const double*> extras_;
  const double* weights_ = nullptr;
  std::vector<double> tile_, weight_copy_;
  std::vector<std::vector<double>> extra_copies_;
  std::vector<double> eta_, eta_star_, pdf_, weighted_pdf_, cdf_, slope_, product_;
  std::vector<double> columns_, eta_columns_;  // k each

  // Sums over the task so far.
  std::vector<double> values_, jacobian_;
  double weight_ = 0.0;
};

}  // namespace quorbis::core::margins
