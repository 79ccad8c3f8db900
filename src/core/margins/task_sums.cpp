#include "core/margins/task_sums.hpp"

#include <algorithm>

#include "core/simd/normal_blocks.hpp"
#include "core/simd/rows.hpp"

namespace quorbis::core::margins {
namespace {

bool all_constant(const std::vector<Entry>& entries) noexcept {
  return std::all_of(entries.begin(), entries.end(), [](const Entry& e) { return e.source == kNoSource; });
}

}  // namespace

std::vector<ScenarioWork> scenario_work(const MarginProblem& problem) {
  std::vector<ScenarioWork> work(problem.scenarios.size());
  for (std::size_t q = 0; q < problem.predictions.size(); ++q) work[problem.predictions[q]].predictions.push_back(q);
  for (std::size_t d = 0; d < problem.derivatives.size(); ++d) {
    ScenarioWork& w = work[problem.derivatives[d].scenario];
    w.derivatives.push_back(d);
    w.constant_derivative = w.constant_derivative || all_constant(problem.derivatives[d].columns);
  }
  return work;
}

TaskSums::TaskSums(const MarginProblem& problem, const std::vector<ScenarioWork>& work, std::size_t block_rows)
    : problem_(problem),
      work_(work),
      k_(static_cast<std::size_t>(problem.exog.cols)),
      params_(k_),
      extras_(problem.extras.size()),
      extra_copies_(problem.extras.size()),
      eta_(block_rows),
      eta_star_(block_rows),
      pdf_(block_rows),
      weighted_pdf_(block_rows),
      cdf_(block_rows),
      slope_(block_rows),
      product_(block_rows),
      columns_(k_),
      eta_columns_(k_),
      values_(problem.predictions.size() + problem.derivatives.size()),
      jacobian_(values_.size() * k_) {
  for (std::size_t j = 0; j < k_; ++j) params_[j] = problem.params[static_cast<std::ptrdiff_t>(j)];
}

void TaskSums::clear() noexcept {
  std::fill(values_.begin(), values_.end(), 0.0);
  std::fill(jacobian_.begin(), jacobian_.end(), 0.0);
  weight_ = 0.0;
}

void TaskSums::add_to(MarginSums& total) const noexcept {
  for (std::size_t q = 0; q < values_.size(); ++q) total.values[q] = total.values[q] + values_[q];
  for (std::size_t i = 0; i < jacobian_.size(); ++i) total.jacobian[i] = total.jacobian[i] + jacobian_[i];
  total.weight = total.weight + weight_;
}

const double* TaskSums::source(const Entry& e) const noexcept {
  return e.source == kNoSource ? nullptr : extras_[static_cast<std::size_t>(e.source)];
}

double TaskSums::value(const Entry& e, std::size_t r) const noexcept {
  const double* values = source(e);
  return values == nullptr ? e.constant : e.constant * values[r];
}

// eta + sum over the replaced columns of b_l (x*_l - x_l): the index of the scenario's rows.
const double* TaskSums::scenario_index(const Scenario& scenario, std::size_t m) {
  if (scenario.replaced.empty()) return eta_.data();
  double* eta = eta_star_.data();
  std::copy(eta_.begin(), eta_.begin() + static_cast<std::ptrdiff_t>(m), eta);
  for (const Entry& e : scenario.replaced) {
    const double b = params_[e.column];
    const double* x = x_.data + e.column * x_.stride;
    for (std::size_t r = 0; r < m; ++r) eta[r] = eta[r] + b * (value(e, r) - x[r]);
  }
  return eta;
}

void TaskSums::weighted_columns(const double* weight, const Scenario& scenario, std::size_t m,
                                std::vector<double>& out) {
  const simd::RowKernels& kernels = simd::row_kernels();
  std::fill(out.begin(), out.end(), 0.0);
  kernels.add_weighted_columns(x_.data, x_.stride, k_, weight, 0, m, out.data());
  for (const Entry& e : scenario.replaced) {
    const double* values = source(e);
    double sum = 0.0;
    if (values == nullptr) {
      sum = kernels.sum(weight, m);
    } else {
      kernels.add_weighted_columns(values, m, 1, weight, 0, m, &sum);
    }
    out[e.column] = e.constant * sum;
  }
}

void TaskSums::add_predictions(const ScenarioWork& work, const Scenario& scenario, const double* eta,
                               const double* wf, std::size_t m) {
  const simd::RowKernels& kernels = simd::row_kernels();
  double* p = cdf_.data();
  simd::normal_blocks().cdf(eta, p, m);
  if (weights_ != nullptr) {
    for (std::size_t r = 0; r < m; ++r) p[r] = weights_[r] * p[r];
  }
  const double p_sum = kernels.sum(p, m);
  weighted_columns(wf, scenario, m, columns_);
  for (const std::size_t q : work.predictions) {
    values_[q] = values_[q] + p_sum;
    double* g = jacobian_row(q);
    for (std::size_t l = 0; l < k_; ++l) g[l] = g[l] + columns_[l];
  }
}

// With s constant the last sum of G is s times one sum per column that every such derivative shares,
// eta_columns_; otherwise it needs its own pass over the columns.
void TaskSums::add_derivative(std::size_t q, const Derivative& d, const Scenario& scenario, const double* eta,
                              const double* wf, double wf_sum, std::size_t m) {
  const simd::RowKernels& kernels = simd::row_kernels();
  double* g = jacobian_row(q);
  std::vector<double>& own = columns_;
  if (all_constant(d.columns)) {
    double s = 0.0;
    for (const Entry& e : d.columns) s = s + params_[e.column] * e.constant;
    values_[q] = values_[q] + s * wf_sum;
    for (std::size_t l = 0; l < k_; ++l) own[l] = -(s * eta_columns_[l]);
    for (const Entry& e : d.columns) own[e.column] = e.constant * wf_sum + own[e.column];
  } else {
    double* s = slope_.data();
    std::fill(s, s + m, 0.0);
    for (const Entry& e : d.columns) {
      const double b = params_[e.column];
      for (std::size_t r = 0; r < m; ++r) s[r] = s[r] + b * value(e, r);
    }
    double* u = product_.data();
    for (std::size_t r = 0; r < m; ++r) u[r] = wf[r] * s[r];
    values_[q] = values_[q] + kernels.sum(u, m);
    for (std::size_t r = 0; r < m; ++r) u[r] = u[r] * eta[r];
    weighted_columns(u, scenario, m, own);
    for (std::size_t l = 0; l < k_; ++l) own[l] = -own[l];
    for (const Entry& e : d.columns) {
      const double* values = source(e);
      double sum = 0.0;
      if (values == nullptr) {
        sum = wf_sum;
      } else {
        kernels.add_weighted_columns(values, m, 1, wf, 0, m, &sum);
      }
      own[e.column] = e.constant * sum + own[e.column];
    }
  }
  for (std::size_t l = 0; l < k_; ++l) g[l] = g[l] + own[l];
}

void TaskSums::add_block(std::ptrdiff_t begin, std::ptrdiff_t end) {
  const simd::RowKernels& kernels = simd::row_kernels();
  const simd::NormalBlocks& blocks = simd::normal_blocks();
  const auto m = static_cast<std::size_t>(end - begin);
  x_ = column_block(problem_.exog.row_slice(begin, end), tile_);
  for (std::size_t e = 0; e < extras_.size(); ++e) {
    extras_[e] = unit_run(problem_.extras[e], begin, end - begin, extra_copies_[e]);
  }
  weights_ = problem_.weights ? unit_run(*problem_.weights, begin, end - begin, weight_copy_) : nullptr;
  kernels.linear_index(x_.data, x_.stride, k_, params_.data(), 0, m, eta_.data());
  weight_ = weight_ + (weights_ != nullptr ? kernels.sum(weights_, m) : static_cast<double>(m));
  for (std::size_t s = 0; s < work_.size(); ++s) {
    const ScenarioWork& work = work_[s];
    if (work.predictions.empty() && work.derivatives.empty()) continue;
    const Scenario& scenario = problem_.scenarios[s];
    const double* eta = scenario_index(scenario, m);
    blocks.pdf(eta, pdf_.data(), m);
    const double* wf = pdf_.data();
    if (weights_ != nullptr) {
      for (std::size_t r = 0; r < m; ++r) weighted_pdf_[r] = weights_[r] * pdf_[r];
      wf = weighted_pdf_.data();
    }
    if (!work.predictions.empty()) add_predictions(work, scenario, eta, wf, m);
    if (work.derivatives.empty()) continue;
    const double wf_sum = kernels.sum(wf, m);
    if (work.constant_derivative) {
      double* u = product_.data();
      for (std::size_t r = 0; r < m; ++r) u[r] = wf[r] * eta[r];
      weighted_columns(u, scenario, m, eta_columns_);
    }
    for (const std::size_t d : work.derivatives) {
      add_derivative(problem_.predictions.size() + d, problem_.derivatives[d], scenario, eta, wf, wf_sum, m);
    }
  }
}

}  // namespace quorbis::core::margins
