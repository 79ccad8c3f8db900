#include "probit/probit.hpp"

#include <algorithm>

#include "normal/normal.hpp"
#include "probit/linear_index.hpp"
#include "probit/outer.hpp"

namespace quorbis::probit {
namespace {

// Rows per block: the block's temporaries stay in the L1 cache.
constexpr std::size_t kBlock = 256;

struct Block {
  std::size_t begin = 0;
  std::size_t count = 0;
  double eta[kBlock];
};

// The per-row terms of a block: z = q eta with q = (y + y) - 1, the clamped Phi(z), and
// lambda = (q phi(z)) / clamped Phi(z).
struct Terms {
  double z[kBlock];
  double clipped[kBlock];
  double lambda[kBlock];
};

double sign_factor(double y) noexcept { return (y + y) - 1.0; }

void signed_index(const double* y, const Block& block, double* z) noexcept {
  for (std::size_t r = 0; r < block.count; ++r) z[r] = sign_factor(y[r]) * block.eta[r];
}

void row_terms(const double* y, const Block& block, Terms& t) noexcept {
  signed_index(y, block, t.z);
  normal::clipped_cdf_block(t.z, t.clipped, block.count);
  normal::pdf_block(t.z, t.lambda, block.count);
  for (std::size_t r = 0; r < block.count; ++r) t.lambda[r] = (sign_factor(y[r]) * t.lambda[r]) / t.clipped[r];
}

// Adds ln of each value to sum, in row order.
double add_logs(double sum, double* values, std::size_t count) noexcept {
  normal::log_block(values, values, count);
  for (std::size_t r = 0; r < count; ++r) sum += values[r];
  return sum;
}

// g[j] = lambda_r x_rj + g[j] over the rows in order, four columns at a time so that their
// chains of additions run side by side.
void add_weighted_columns(const Design& x, const Block& block, const double* lambda, double* g) noexcept {
  auto column = [&](std::size_t j) { return x.data + j * x.rows + block.begin; };
  std::size_t j = 0;
  for (; j + 4 <= x.cols; j += 4) {
    const double *c0 = column(j), *c1 = column(j + 1), *c2 = column(j + 2), *c3 = column(j + 3);
    double a0 = g[j], a1 = g[j + 1], a2 = g[j + 2], a3 = g[j + 3];
    for (std::size_t r = 0; r < block.count; ++r) {
      a0 = lambda[r] * c0[r] + a0;
      a1 = lambda[r] * c1[r] + a1;
      a2 = lambda[r] * c2[r] + a2;
      a3 = lambda[r] * c3[r] + a3;
    }
    g[j] = a0, g[j + 1] = a1, g[j + 2] = a2, g[j + 3] = a3;
  }
  for (; j < x.cols; ++j) {
    const double* c = column(j);
    double a = g[j];
    for (std::size_t r = 0; r < block.count; ++r) a = lambda[r] * c[r] + a;
    g[j] = a;
  }
}

// The block's rows as a row-major tile of the given row width, each multiplied by scale[r] when given.
void gather_rows(const Design& x, const Block& block, const double* scale, std::size_t width,
                 double* tile) noexcept {
  for (std::size_t j = 0; j < x.cols; ++j) {
    const double* column = x.data + j * x.rows + block.begin;
    for (std::size_t r = 0; r < block.count; ++r) {
      tile[r * width + j] = scale != nullptr ? scale[r] * column[r] : column[r];
    }
  }
}

// Adds each score row to the running sum of its cluster, element by element in row order.
void add_to_clusters(const double* scores, const Block& block, const Clusters& clusters, std::size_t k,
                     std::size_t width, double* sums) noexcept {
  for (std::size_t r = 0; r < block.count; ++r) {
    const double* s = scores + r * width;
    double* u = sums + clusters.of_row[block.begin + r] * width;
    for (std::size_t j = 0; j < k; ++j) u[j] = s[j] + u[j];
  }
}

}  // namespace

Probit::Probit(const double* endog, std::size_t nobs, Design exog) noexcept
    : endog_(endog), nobs_(nobs), exog_(exog) {}

template <class Visit>
void Probit::for_each_block(const Vector& beta, Visit&& visit) const {
  Block block;
  for (std::size_t begin = 0; begin < nobs_; begin += kBlock) {
    block.begin = begin;
    block.count = std::min(kBlock, nobs_ - begin);
    linear_index(exog_.data, exog_.rows, exog_.cols, beta.data(), begin, block.count, block.eta);
    visit(block);
  }
}

double Probit::log_likelihood(const Vector& beta) const {
  double sum = 0.0;
  double values[kBlock];
  for_each_block(beta, [&](const Block& block) {
    signed_index(endog_ + block.begin, block, values);
    normal::clipped_cdf_block(values, values, block.count);
    sum = add_logs(sum, values, block.count);
  });
  return sum;
}

Evaluation Probit::evaluate(const Vector& beta, Wants wants) const {
  Evaluation out;
  out.gradient.assign(wants.gradient ? k() : 0, 0.0);
  OuterSum hessian(k()), score_outer(k()), cluster_outer(k());
  const std::size_t width = hessian.width();
  const bool want_scores = wants.score_outer_sum || wants.clusters != nullptr;
  Vector rows(wants.hessian ? kBlock * width : 0, 0.0), scaled_rows(rows.size(), 0.0);
  Vector scores(want_scores ? kBlock * width : 0, 0.0);
  Vector cluster_sums(wants.clusters != nullptr ? wants.clusters->count * width : 0, 0.0);
  double weight[kBlock];
  Terms t;
  for_each_block(beta, [&](const Block& block) {
    row_terms(endog_ + block.begin, block, t);
    out.loglike = add_logs(out.loglike, t.clipped, block.count);
    if (wants.gradient) add_weighted_columns(exog_, block, t.lambda, out.gradient.data());
    if (wants.hessian) {
      for (std::size_t r = 0; r < block.count; ++r) weight[r] = t.lambda[r] * (block.eta[r] + t.lambda[r]);
      gather_rows(exog_, block, nullptr, width, rows.data());
      gather_rows(exog_, block, weight, width, scaled_rows.data());
      hessian.subtract(scaled_rows.data(), rows.data(), block.count);  // H[a][c] - (w x_a) x_c
    }
    if (want_scores) gather_rows(exog_, block, t.lambda, width, scores.data());
    if (wants.score_outer_sum) score_outer.add(scores.data(), block.count);
    if (wants.clusters != nullptr) {
      add_to_clusters(scores.data(), block, *wants.clusters, k(), width, cluster_sums.data());
    }
  });
  if (wants.hessian) out.hessian = hessian.result();
  if (wants.score_outer_sum) out.score_outer_sum = score_outer.result();
  if (wants.clusters != nullptr) {
    cluster_outer.add(cluster_sums.data(), wants.clusters->count);
    out.cluster_meat = cluster_outer.result();
  }
  return out;
}

}  // namespace quorbis::probit
