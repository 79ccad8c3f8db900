#include "core/probit/probit.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/compensated_sum.hpp"
#include "core/normal/normal.hpp"
#include "core/parallel/reduce.hpp"
#include "core/probit/linear_index.hpp"
#include "core/probit/outer.hpp"
#include "core/probit/row_tile.hpp"
#include "core/simd/normal_blocks.hpp"
#include "core/simd/rows.hpp"

namespace quorbis::core::probit {
namespace {

// Rows per block: the block's temporaries stay in the L1 cache.
constexpr std::size_t kBlock = 256;
// Rows per task, the unit of parallel work: the partition of every pass depends on nobs alone.
constexpr std::size_t kTaskRows = 16 * kBlock;

struct Rows {
  std::size_t begin = 0;
  std::size_t count = 0;
};

Rows task_rows(std::size_t nobs, std::size_t task) noexcept {
  const std::size_t begin = task * kTaskRows;
  return {begin, std::min(kTaskRows, nobs - begin)};
}

// Whether a pass needs the block's rows as a row-major tile, and the tile of its score rows.
bool wants_scores(const Wants& wants) noexcept { return wants.score_outer_sum; }
bool wants_rows(const Wants& wants) noexcept { return wants.hessian || wants.gram || wants_scores(wants); }
bool wants_terms(const Wants& wants) noexcept {
  return wants.loglike || wants.gradient || wants.hessian || wants.score_outer_sum || wants.clusters != nullptr;
}

struct Block {
  std::size_t begin = 0;
  std::size_t count = 0;
  double eta[kBlock];
};

// The per-row terms of a block: z = q eta with q = (y + y) - 1, ln Phi(z) when asked for, the ratio
// phi(z) / Phi(z), and lambda = q phi(z) / Phi(z), the derivative of ln Phi(q eta) in eta; zero_index
// when every z is zero, as at beta = 0. With weights v, weighted_lambda holds v lambda.
struct Terms {
  double z[kBlock];
  double log_cdf[kBlock];
  double ratio[kBlock];
  double lambda[kBlock];
  double weighted_lambda[kBlock];
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

void row_terms(const double* y, const double* v, const Block& block, bool want_log_cdf, Terms& t) noexcept {
  signed_index(y, block, t.z);
  t.zero_index = all_zero(t.z, block.count);
  if (t.zero_index) {
    std::fill_n(t.log_cdf, block.count, at_zero().log_cdf);
    std::fill_n(t.ratio, block.count, at_zero().pdf_over_cdf);
  } else if (want_log_cdf) {
    simd::normal_blocks().log_cdf_and_ratio(t.z, t.log_cdf, t.ratio, block.count);
  } else {
    simd::normal_blocks().pdf_over_cdf(t.z, t.ratio, block.count);
  }
  if (v == nullptr) {
    for (std::size_t r = 0; r < block.count; ++r) t.lambda[r] = sign_factor(y[r]) * t.ratio[r];
    return;
  }
  for (std::size_t r = 0; r < block.count; ++r) {
    t.lambda[r] = sign_factor(y[r]) * t.ratio[r];
    t.weighted_lambda[r] = v[r] * t.lambda[r];
  }
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
  if (tail_count > 0) simd::normal_blocks().curvature_weight(tail, tail, tail_count);
  for (std::size_t i = 0; i < tail_count; ++i) weight[tail_rows[i]] = tail[i];
  for (std::size_t r = 0; r < count; ++r) {
    const double q = sign_factor(y[r]);
    weight[r] = (q * q) * weight[r];
  }
}

// Continues sum with the block's values, each times its row's weight when weights v are given.
void add_logs(core::CompensatedSum& sum, const double* log_cdf, const double* v, std::size_t count) noexcept {
  if (v == nullptr) return sum.add(simd::row_kernels().sum(log_cdf, count));
  double weighted = 0.0;
  simd::row_kernels().add_weighted_columns(log_cdf, count, 1, v, 0, count, &weighted);
  sum.add(weighted);
}

void add_weighted_columns(const Design& x, const Block& block, const double* lambda, double* g) noexcept {
  simd::row_kernels().add_weighted_columns(x.data, x.rows, x.cols, lambda, block.begin, block.count, g);
}

// u_g[j] = lambda_i x_ij + u_g[j] for the rows i in order, g the cluster of row i: column j of the
// cluster sums of the score rows s_i = lambda_i x_i, in row order within each cluster. The sums are
// kept column by column, so that threads adding different columns do not share cache lines.
void add_to_clusters(const Design& x, std::size_t j, const Rows& rows, const double* lambda,
                     const Clusters& clusters, double* column_sums) noexcept {
  const std::uint32_t* cluster = clusters.of_row.data() + rows.begin;
  const double* column = x.data + j * x.rows + rows.begin;
  for (std::size_t r = 0; r < rows.count; ++r) {
    double& u = column_sums[cluster[r]];
    u = lambda[r] * column[r] + u;
  }
}

// One thread's working space for the blocks of its tasks.
struct Scratch {
  Scratch(std::size_t tile_width, const Wants& wants)
      : width(tile_width),
        rows(wants_rows(wants) ? kBlock * width : 0),
        scaled_rows(wants_rows(wants) ? kBlock * width : 0),
        scores(wants_scores(wants) ? kBlock * width : 0) {}

  std::size_t width;
  Block block;
  Terms terms;
  double weight[kBlock] = {};
  Vector rows, scaled_rows, scores;  // row-major tiles of a block's rows
};

// The larger of largest and every |eta|, NaN once any is: a maximum does not depend on the order.
double largest_of(const double* eta, std::size_t count, double largest) noexcept {
  for (std::size_t r = 0; r < count; ++r) {
    const double a = std::fabs(eta[r]);
    if (a > largest || a != a) largest = a;
    if (largest != largest) return largest;
  }
  return largest;
}

// The sums over one task's rows, each from zero.
struct Partial {
  Partial(std::size_t k, const Wants& wants)
      : gradient(wants.gradient ? k : 0),
        hessian(wants.hessian ? k : 0),
        gram(wants.gram ? k : 0),
        score_outer(wants.score_outer_sum ? k : 0),
        lambda(wants.clusters != nullptr ? kTaskRows : 0) {}

  void clear() noexcept {
    loglike = {};
    largest_index = 0.0;
    std::fill(gradient.begin(), gradient.end(), 0.0);
    for (OuterSum* sum : {&hessian, &gram, &score_outer}) sum->clear();
  }

  // Continues these sums with those of the rows that follow.
  void add(const Partial& part) noexcept {
    loglike.add(part.loglike);
    for (std::size_t j = 0; j < gradient.size(); ++j) gradient[j] = gradient[j] + part.gradient[j];
    hessian.add(part.hessian);
    gram.add(part.gram);
    score_outer.add(part.score_outer);
    largest_index = largest_of(&part.largest_index, 1, largest_index);
  }

  // The memory of these sums, about.
  std::size_t bytes() const noexcept {
    const std::size_t outer = hessian.values() + gram.values() + score_outer.values();
    return sizeof(Partial) + (gradient.size() + outer + lambda.size()) * sizeof(double);
  }

  core::CompensatedSum loglike;
  Vector gradient;
  OuterSum hessian, gram, score_outer;
  Vector lambda;  // of each row of the task, for the cluster sums
  double largest_index = 0.0;
};


// The blocks of one task's rows with their linear index.
template <class Visit>
void for_each_block(const Design& x, const Vector& beta, const Rows& rows, Block& block, Visit&& visit) {
  for (std::size_t begin = rows.begin; begin < rows.begin + rows.count; begin += kBlock) {
    block.begin = begin;
    block.count = std::min(kBlock, rows.begin + rows.count - begin);
    linear_index(x.data, x.rows, x.cols, beta.data(), begin, block.count, block.eta);
    visit(block);
  }
}

// sum_i (q_i x_i)(q_i x_i)' over the block's rows, weighted by v when given.
void add_gram(const double* y, const double* v, std::size_t count, std::size_t cols, Scratch& s, OuterSum& gram) {
  const std::size_t width = s.width;
  if (v != nullptr) {
    for (std::size_t r = 0; r < count; ++r) {
      const double q = sign_factor(y[r]);
      s.weight[r] = (q * q) * v[r];
    }
    scale_row_tile(s.rows.data(), s.weight, count, cols, width, s.scaled_rows.data());
    return gram.add(s.scaled_rows.data(), s.rows.data(), count);
  }
  // (q x_a)(q x_c) is x_a x_c exactly when q is +-1, as it is for every 0/1 outcome.
  bool unit = true;
  for (std::size_t r = 0; r < count; ++r) {
    s.weight[r] = sign_factor(y[r]);
    unit &= s.weight[r] * s.weight[r] == 1.0;
  }
  if (!unit) scale_row_tile(s.rows.data(), s.weight, count, cols, width, s.scaled_rows.data());
  gram.add(unit ? s.rows.data() : s.scaled_rows.data(), count);
}

// The robust meat over the block's rows: sum s s' of the score rows s = scores x; with frequency weights,
// sum v s s' (weighted_scores = v scores), as for v copies of each row.
void add_score_outer(const double* scores, const double* weighted_scores, std::size_t count, std::size_t cols,
                     Scratch& s, OuterSum& meat) {
  const std::size_t width = s.width;
  scale_row_tile(s.rows.data(), scores, count, cols, width, s.scores.data());
  if (weighted_scores == nullptr) return meat.add(s.scores.data(), count);
  scale_row_tile(s.rows.data(), weighted_scores, count, cols, width, s.scaled_rows.data());
  meat.add(s.scaled_rows.data(), s.scores.data(), count);
}

// The sums over one task's rows, each from zero and in row order, into part.
void add_rows(const double* endog, const Design& x, const RowWeights& weights, const Vector& beta,
              const Wants& wants, const Rows& rows, Scratch& s, Partial& part) {
  part.clear();
  const std::size_t width = s.width;
  Terms& t = s.terms;
  for_each_block(x, beta, rows, s.block, [&](const Block& block) {
    const double* y = endog + block.begin;
    const double* v = weights.values == nullptr ? nullptr : weights.values + block.begin;
    if (wants.largest_index) part.largest_index = largest_of(block.eta, block.count, part.largest_index);
    if (wants_terms(wants)) row_terms(y, v, block, wants.loglike, t);
    const double* scores = v == nullptr ? t.lambda : t.weighted_lambda;
    if (wants.gradient) add_weighted_columns(x, block, scores, part.gradient.data());
    if (wants_rows(wants)) transpose(x.data + block.begin, x.rows, x.cols, block.count, s.rows.data(), width);
    if (wants.hessian) {
      curvature_weights(y, t, block.count, s.weight);
      if (v != nullptr) {
        for (std::size_t r = 0; r < block.count; ++r) s.weight[r] = v[r] * s.weight[r];
      }
      scale_row_tile(s.rows.data(), s.weight, block.count, x.cols, width, s.scaled_rows.data());
      part.hessian.subtract(s.scaled_rows.data(), s.rows.data(), block.count);  // H[a][c] - (w x_a) x_c
    }
    if (wants.gram) add_gram(y, v, block.count, x.cols, s, part.gram);
    if (wants_scores(wants)) {
      const bool frequency = v != nullptr && weights.kind == Weighting::frequency;
      add_score_outer(frequency ? t.lambda : scores, frequency ? t.weighted_lambda : nullptr, block.count, x.cols,
                      s, part.score_outer);
    }
    if (wants.clusters != nullptr) std::copy_n(scores, block.count, part.lambda.data() + (block.begin - rows.begin));
    if (wants.loglike) add_logs(part.loglike, t.log_cdf, v, block.count);
  });
}

std::size_t bytes_of(const Partial& part) noexcept { return part.bytes(); }
std::size_t bytes_of(const core::CompensatedSum&) noexcept { return sizeof(core::CompensatedSum); }

// Sums over the observations: the rows of each task into a partial sum of its own (add_rows), then
// the partial sums of a window of tasks, first .. first + parts.size() - 1, added to the totals in task
// order (fold), on the calling thread.
template <class Part, class AddRows, class Fold>
void over_tasks(parallel::Lease& lease, std::size_t nobs, const Part& empty, AddRows&& add_rows, Fold&& fold) {
  const std::size_t tasks = (nobs + kTaskRows - 1) / kTaskRows;
  std::vector<Part> slots(parallel::window(lease, tasks, bytes_of(empty)), empty);
  parallel::reduce_windows(
      lease, tasks, slots,
      [&](std::size_t task, Part& part, std::size_t thread) { add_rows(task_rows(nobs, task), part, thread); },
      [&](std::size_t first, std::span<const Part> parts) { fold(first, parts); });
}

}  // namespace

Matrix cluster_meat(const Vector& column_sums, std::size_t clusters, std::size_t k) {
  OuterSum meat(k);
  Vector rows(clusters * meat.width(), 0.0);
  transpose(column_sums.data(), clusters, k, clusters, rows.data(), meat.width());
  meat.add(rows.data(), clusters);
  return meat.result();
}

Probit::Probit(const double* endog, std::size_t nobs, Design exog, RowWeights weights) noexcept
    : endog_(endog), nobs_(nobs), exog_(exog), weights_(weights) {}

double Probit::log_likelihood(const Vector& beta) const {
  core::CompensatedSum loglike;
  parallel::Lease lease;
  std::vector<Block> blocks(lease.threads());
  over_tasks(
      lease, nobs_, core::CompensatedSum{},
      [&](const Rows& rows, core::CompensatedSum& part, std::size_t thread) {
        part = {};
        for_each_block(exog_, beta, rows, blocks[thread], [&](Block& block) {
          signed_index(endog_ + block.begin, block, block.eta);
          simd::normal_blocks().log_cdf(block.eta, block.eta, block.count);
          const double* v = weights_.values == nullptr ? nullptr : weights_.values + block.begin;
          add_logs(part, block.eta, v, block.count);
        });
      },
      [&](std::size_t, std::span<const core::CompensatedSum> parts) {
        for (const core::CompensatedSum& part : parts) loglike.add(part);
      });
  return loglike.value();
}

Evaluation Probit::evaluate(const Vector& beta, Wants wants) const {
  const std::size_t width = OuterSum::width_of(k());
  const std::size_t clusters = wants.clusters != nullptr ? wants.clusters->count : 0;
  Partial total(k(), {.gradient = wants.gradient, .hessian = wants.hessian, .gram = wants.gram,
                      .score_outer_sum = wants.score_outer_sum});
  Vector cluster_sums(clusters * k(), 0.0);  // column j of the sums at j * clusters
  parallel::Lease lease;
  std::vector<Scratch> scratch(lease.threads(), Scratch(width, wants));
  // Each column of the cluster sums on a thread of its own, the window's rows in order.
  auto add_window_to_clusters = [&](std::size_t first, std::span<const Partial> parts) {
    auto add_column = [&](std::size_t j, std::size_t) {
      for (std::size_t i = 0; i < parts.size(); ++i) {
        add_to_clusters(exog_, j, task_rows(nobs_, first + i), parts[i].lambda.data(), *wants.clusters,
                        cluster_sums.data() + j * clusters);
      }
    };
    lease.run(k(), add_column);
  };
  over_tasks(
      lease, nobs_, Partial(k(), wants),
      [&](const Rows& rows, Partial& part, std::size_t thread) {
        add_rows(endog_, exog_, weights_, beta, wants, rows, scratch[thread], part);
      },
      [&](std::size_t first, std::span<const Partial> parts) {
        for (const Partial& part : parts) total.add(part);
        if (wants.clusters != nullptr) add_window_to_clusters(first, parts);
      });
  Evaluation out;
  out.loglike = total.loglike.value();
  out.largest_index = total.largest_index;
  out.gradient = std::move(total.gradient);
  if (wants.hessian) out.hessian = total.hessian.result();
  if (wants.gram) out.gram = total.gram.result();
  if (wants.score_outer_sum) out.score_outer_sum = total.score_outer.result();
  if (wants.clusters != nullptr) {
    // Multiway terms take their meats from the cells' sums.
    if (wants.clusters->terms.empty()) out.cluster_meat = cluster_meat(cluster_sums, clusters, k());
    out.cluster_sums = std::move(cluster_sums);
  }
  return out;
}

}  // namespace quorbis::core::probit
