#include "probit/probit.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "normal/normal.hpp"
#include "probit/linear_index.hpp"
#include "probit/outer.hpp"
#include "probit/row_tile.hpp"

namespace quorbis::probit {
namespace {

// Rows per block: the block's temporaries stay in the L1 cache.
constexpr std::size_t kBlock = 256;

struct Block {
  std::size_t begin = 0;
  std::size_t count = 0;
  double eta[kBlock];
};

// The per-row terms of a block: z = q eta with q = (y + y) - 1, ln Phi(z) when asked for, the ratio
// phi(z) / Phi(z), and lambda = q phi(z) / Phi(z), the derivative of ln Phi(q eta) in eta; zero_index
// when every z is zero, as at beta = 0.
struct Terms {
  double z[kBlock];
  double log_cdf[kBlock];
  double ratio[kBlock];
  double lambda[kBlock];
  bool zero_index = false;
};

double sign_factor(double y) noexcept { return (y + y) - 1.0; }

void signed_index(const double* y, const Block& block, double* z) noexcept {
  for (std::size_t r = 0; r < block.count; ++r) z[r] = sign_factor(y[r]) * block.eta[r];
}

// Whether every value is +0 or -0: their bits without the sign bit are all zero.
bool all_zero(const double* values, std::size_t count) noexcept {
  std::uint64_t bits = 0;
  for (std::size_t r = 0; r < count; ++r) bits |= std::bit_cast<std::uint64_t>(values[r]) << 1;
  return bits == 0;
}

// The normal functions' values at z = 0 (the same as at -0), computed once.
struct ValuesAtZero {
  double pdf_over_cdf = normal::pdf_over_cdf(0.0);
  double log_cdf = normal::log_cdf(0.0);
};
const ValuesAtZero& at_zero() {
  static const ValuesAtZero values;
  return values;
}

void row_terms(const double* y, const Block& block, bool want_log_cdf, Terms& t) noexcept {
  signed_index(y, block, t.z);
  t.zero_index = all_zero(t.z, block.count);
  if (t.zero_index) {
    std::fill_n(t.log_cdf, block.count, at_zero().log_cdf);
    std::fill_n(t.ratio, block.count, at_zero().pdf_over_cdf);
  } else if (want_log_cdf) {
    normal::log_cdf_and_ratio_block(t.z, t.log_cdf, t.ratio, block.count);
  } else {
    normal::pdf_over_cdf_block(t.z, t.ratio, block.count);
  }
  for (std::size_t r = 0; r < block.count; ++r) t.lambda[r] = sign_factor(y[r]) * t.ratio[r];
}

// From z = -1 up, ratio (z + ratio) cancels to no less than a third of the ratio and is taken as it
// is; below (and for z that is large or not a number) the curvature kernel avoids the cancellation.
constexpr double kCancellationFrom = -1.0;
constexpr double kRatioVanishesFrom = 40.0;

// The weights w of the Hessian -sum_i w_i x_i x_i': -d^2/d eta^2 ln Phi(q eta) = q^2 r (z + r) with
// r = phi(z) / Phi(z); for q = +-1 the signed lambda (eta + lambda).
void curvature_weights(const double* y, const Terms& t, std::size_t count, double* weight) noexcept {
  std::size_t tail_rows[kBlock];
  double tail[kBlock];
  std::size_t tail_count = 0;
  for (std::size_t r = 0; r < count; ++r) {
    if (t.z[r] >= kCancellationFrom && t.z[r] < kRatioVanishesFrom) {
      weight[r] = t.ratio[r] * (t.z[r] + t.ratio[r]);
    } else {
      tail_rows[tail_count] = r;
      tail[tail_count++] = t.z[r];
    }
  }
  normal::curvature_weight_block(tail, tail, tail_count);
  for (std::size_t i = 0; i < tail_count; ++i) weight[tail_rows[i]] = tail[i];
  for (std::size_t r = 0; r < count; ++r) {
    const double q = sign_factor(y[r]);
    weight[r] = (q * q) * weight[r];
  }
}

// Adds the values to sum, in row order.
double add_logs(double sum, const double* log_cdf, std::size_t count) noexcept {
  for (std::size_t r = 0; r < count; ++r) sum += log_cdf[r];
  return sum;
}

// g[j] = lambda_r x_rj + g[j] over the block's rows in order for Columns columns from j, whose chains
// of additions run side by side.
template <std::size_t Columns>
void add_weighted_group(const Design& x, const Block& block, const double* lambda, std::size_t j,
                        double* g) noexcept {
  const double* column[Columns];
  double sum[Columns];
  for (std::size_t c = 0; c < Columns; ++c) {
    column[c] = x.data + (j + c) * x.rows + block.begin;
    sum[c] = g[j + c];
  }
  for (std::size_t r = 0; r < block.count; ++r) {
    for (std::size_t c = 0; c < Columns; ++c) sum[c] = lambda[r] * column[c][r] + sum[c];
  }
  for (std::size_t c = 0; c < Columns; ++c) g[j + c] = sum[c];
}

void add_weighted_columns(const Design& x, const Block& block, const double* lambda, double* g) noexcept {
  constexpr std::size_t kGroup = 8;
  std::size_t j = 0;
  for (; j + kGroup <= x.cols; j += kGroup) add_weighted_group<kGroup>(x, block, lambda, j, g);
  switch (x.cols - j) {
    case 7: return add_weighted_group<7>(x, block, lambda, j, g);
    case 6: return add_weighted_group<6>(x, block, lambda, j, g);
    case 5: return add_weighted_group<5>(x, block, lambda, j, g);
    case 4: return add_weighted_group<4>(x, block, lambda, j, g);
    case 3: return add_weighted_group<3>(x, block, lambda, j, g);
    case 2: return add_weighted_group<2>(x, block, lambda, j, g);
    case 1: return add_weighted_group<1>(x, block, lambda, j, g);
    default: return;
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
    normal::log_cdf_block(values, values, block.count);
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
  const bool want_rows = wants.hessian || want_scores;
  Vector rows(want_rows ? kBlock * width : 0, 0.0);
  Vector scaled_rows(wants.hessian ? kBlock * width : 0, 0.0), scores(want_scores ? kBlock * width : 0, 0.0);
  Vector cluster_sums(wants.clusters != nullptr ? wants.clusters->count * width : 0, 0.0);
  double weight[kBlock];
  Terms t;
  for_each_block(beta, [&](const Block& block) {
    row_terms(endog_ + block.begin, block, wants.loglike, t);
    if (wants.gradient) add_weighted_columns(exog_, block, t.lambda, out.gradient.data());
    if (want_rows) transpose(exog_.data + block.begin, exog_.rows, k(), block.count, rows.data(), width);
    if (wants.hessian) {
      curvature_weights(endog_ + block.begin, t, block.count, weight);
      scale_row_tile(rows.data(), weight, block.count, k(), width, scaled_rows.data());
      hessian.subtract(scaled_rows.data(), rows.data(), block.count);  // H[a][c] - (w x_a) x_c
    }
    if (want_scores) scale_row_tile(rows.data(), t.lambda, block.count, k(), width, scores.data());
    if (wants.score_outer_sum) score_outer.add(scores.data(), block.count);
    if (wants.clusters != nullptr) {
      add_to_clusters(scores.data(), block, *wants.clusters, k(), width, cluster_sums.data());
    }
    if (wants.loglike) out.loglike = add_logs(out.loglike, t.log_cdf, block.count);
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
