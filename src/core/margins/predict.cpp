#include "core/margins/predict.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/column_block.hpp"
#include "core/parallel/pool.hpp"
#include "core/simd/normal_blocks.hpp"
#include "core/simd/rows.hpp"

namespace quorbis::core::margins {
namespace {

constexpr std::ptrdiff_t kBlockRows = 256;
constexpr std::ptrdiff_t kTaskRows = 16 * kBlockRows;

struct Scratch {
  std::vector<double> tile, eta, form, partial, low, high;
};

class Predictor {
 public:
  Predictor(const PredictionProblem& problem, double* out)
      : p_(problem), out_(out), n_(problem.exog.rows), k_(static_cast<std::size_t>(problem.exog.cols)), params_(k_) {
    for (std::size_t j = 0; j < k_; ++j) params_[j] = problem.params[static_cast<std::ptrdiff_t>(j)];
    if (!problem.cov) return;
    upper_.assign(k_ * k_, 0.0);
    for (std::size_t a = 0; a < k_; ++a) {
      for (std::size_t b = a; b < k_; ++b) {
        upper_[a * k_ + b] = (*problem.cov)(static_cast<std::ptrdiff_t>(a), static_cast<std::ptrdiff_t>(b));
      }
    }
  }

  void block(std::ptrdiff_t begin, std::ptrdiff_t end, Scratch& s) const {
    const simd::RowKernels& kernels = simd::row_kernels();
    const simd::NormalBlocks& normal = simd::normal_blocks();
    const auto m = static_cast<std::size_t>(end - begin);
    for (auto* v : {&s.eta, &s.form, &s.partial, &s.low, &s.high}) v->resize(m);
    const ColumnBlock x = column_block(p_.exog.row_slice(begin, end), s.tile);
    double* eta = s.eta.data();
    kernels.linear_index(x.data, x.stride, k_, params_.data(), 0, m, eta);
    double* value = column(0) + begin;
    if (p_.linear) {
      std::copy(eta, eta + m, value);
    } else {
      normal.cdf(eta, value, m);
    }
    if (!p_.cov) return;
    double* se = column(1) + begin;
    quadratic_form(x, m, s);
    for (std::size_t r = 0; r < m; ++r) {
      const double q = s.form[r];
      // A negative form is rounding around 0; NaN (a NaN covariance) stays NaN.
      se[r] = std::sqrt(q < 0.0 ? 0.0 : q);
      s.low[r] = eta[r] - p_.z * se[r];
      s.high[r] = eta[r] + p_.z * se[r];
    }
    double* lower = column(2) + begin;
    double* upper = column(3) + begin;
    if (p_.linear) {
      std::copy(s.low.begin(), s.low.end(), lower);
      std::copy(s.high.begin(), s.high.end(), upper);
      return;
    }
    normal.pdf(eta, s.partial.data(), m);
    for (std::size_t r = 0; r < m; ++r) se[r] = s.partial[r] * se[r];
    normal.cdf(s.low.data(), lower, m);
    normal.cdf(s.high.data(), upper, m);
  }

  std::ptrdiff_t rows() const noexcept { return n_; }

 private:
  double* column(std::size_t c) const noexcept { return out_ + c * static_cast<std::size_t>(n_); }

  // x V x' = sum_a x_a (V_aa x_a + 2 sum_{b > a} V_ab x_b): the upper triangle, half the products.
  void quadratic_form(const ColumnBlock& x, std::size_t m, Scratch& s) const {
    const simd::RowKernels& kernels = simd::row_kernels();
    double* form = s.form.data();
    double* partial = s.partial.data();
    std::fill(form, form + m, 0.0);
    for (std::size_t a = 0; a < k_; ++a) {
      const double* xa = x.data + a * x.stride;
      const double* row = upper_.data() + a * k_;
      kernels.linear_index(x.data + (a + 1) * x.stride, x.stride, k_ - a - 1, row + a + 1, 0, m, partial);
      for (std::size_t r = 0; r < m; ++r) form[r] = form[r] + xa[r] * (row[a] * xa[r] + 2.0 * partial[r]);
    }
  }

  const PredictionProblem& p_;
  double* out_;
  std::ptrdiff_t n_;
  std::size_t k_;
  std::vector<double> params_, upper_;
};

}  // namespace

void predict(const PredictionProblem& problem, double* out) {
  const Predictor predictor(problem, out);
  const std::ptrdiff_t n = predictor.rows();
  if (n == 0) return;
  parallel::Lease lease;
  std::vector<Scratch> scratch(lease.threads());
  const auto tasks = static_cast<std::size_t>((n + kTaskRows - 1) / kTaskRows);
  auto run = [&](std::size_t t, std::size_t thread) {
    const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(t) * kTaskRows;
    const std::ptrdiff_t last = std::min(n, first + kTaskRows);
    for (std::ptrdiff_t begin = first; begin < last; begin += kBlockRows) {
      predictor.block(begin, std::min(last, begin + kBlockRows), scratch[thread]);
    }
  };
  lease.run(tasks, run);
}

}  // namespace quorbis::core::margins
