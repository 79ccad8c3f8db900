#include "probit/probit.hpp"

#include <algorithm>
#include <cmath>

#include "normal/normal.hpp"

namespace quorbis::probit {
namespace {

// Rows per block: the block's temporaries stay in the L1 cache.
constexpr std::size_t kBlock = 256;

struct Block {
  std::size_t begin = 0;
  std::size_t count = 0;
  double eta[kBlock];
};

// z_i, the clamped Phi(z_i) and the inverse Mills-type ratio lambda_i = q_i phi(z_i) / F_i of one row.
struct RowTerms {
  double z, clipped, lambda;
};

// The signed index z_i = q_i eta_i, q_i = (y_i + y_i) - 1.
double signed_index(double y, double eta) noexcept { return ((y + y) - 1.0) * eta; }

RowTerms row_terms(double y, double eta) noexcept {
  const double q = (y + y) - 1.0;
  const double z = q * eta;
  const double clipped = normal::clipped_cdf(z);
  return {z, clipped, (q * normal::pdf(z)) / clipped};
}

// Copies row r of the block into a contiguous k-vector.
void gather_row(const Design& x, std::size_t row, double* out) noexcept {
  for (std::size_t j = 0; j < x.cols; ++j) out[j] = x.data[j * x.rows + row];
}

}  // namespace

Probit::Probit(const double* endog, std::size_t nobs, Design exog) noexcept
    : endog_(endog), nobs_(nobs), exog_(exog) {}

// eta_i = sum_j x_ij b_j, each row summed from 0.0 in column order, vectorised across the rows.
template <class Visit>
void Probit::for_each_block(const Vector& beta, Visit&& visit) const {
  Block block;
  for (std::size_t begin = 0; begin < nobs_; begin += kBlock) {
    block.begin = begin;
    block.count = std::min(kBlock, nobs_ - begin);
    std::fill_n(block.eta, block.count, 0.0);
    for (std::size_t j = 0; j < exog_.cols; ++j) {
      const double* column = exog_.data + j * exog_.rows + begin;
      const double b = beta[j];
      for (std::size_t r = 0; r < block.count; ++r) block.eta[r] += column[r] * b;
    }
    visit(block);
  }
}

double Probit::log_likelihood(const Vector& beta) const {
  double sum = 0.0;
  for_each_block(beta, [&](const Block& block) {
    for (std::size_t r = 0; r < block.count; ++r) {
      sum += std::log(normal::clipped_cdf(signed_index(endog_[block.begin + r], block.eta[r])));
    }
  });
  return sum;
}

Vector Probit::gradient(const Vector& beta) const {
  Vector g;
  log_likelihood_and_gradient(beta, g);
  return g;
}

double Probit::log_likelihood_and_gradient(const Vector& beta, Vector& g) const {
  g.assign(k(), 0.0);
  double sum = 0.0;
  for_each_block(beta, [&](const Block& block) {
    double lambda[kBlock];
    for (std::size_t r = 0; r < block.count; ++r) {
      const RowTerms t = row_terms(endog_[block.begin + r], block.eta[r]);
      sum += std::log(t.clipped);
      lambda[r] = t.lambda;
    }
    for (std::size_t j = 0; j < k(); ++j) {
      const double* column = exog_.data + j * exog_.rows + block.begin;
      double acc = g[j];
      for (std::size_t r = 0; r < block.count; ++r) acc = lambda[r] * column[r] + acc;
      g[j] = acc;
    }
  });
  return sum;
}

Matrix Probit::hessian(const Vector& beta) const {
  Matrix h(k(), k());
  Vector x(k());
  for_each_block(beta, [&](const Block& block) {
    for (std::size_t r = 0; r < block.count; ++r) {
      const RowTerms t = row_terms(endog_[block.begin + r], block.eta[r]);
      const double w = t.lambda * (block.eta[r] + t.lambda);
      gather_row(exog_, block.begin + r, x.data());
      for (std::size_t a = 0; a < k(); ++a) {
        const double wa = w * x[a];
        double* h_row = h.row(a);
        for (std::size_t c = 0; c < k(); ++c) h_row[c] = h_row[c] - wa * x[c];
      }
    }
  });
  return h;
}

Matrix Probit::score_outer_sum(const Vector& beta) const {
  Matrix m(k(), k());
  Vector s(k());
  for_each_block(beta, [&](const Block& block) {
    for (std::size_t r = 0; r < block.count; ++r) {
      const double lambda = row_terms(endog_[block.begin + r], block.eta[r]).lambda;
      gather_row(exog_, block.begin + r, s.data());
      for (double& v : s) v = lambda * v;
      for (std::size_t a = 0; a < k(); ++a) {
        double* m_row = m.row(a);
        for (std::size_t c = 0; c < k(); ++c) m_row[c] = s[c] * s[a] + m_row[c];
      }
    }
  });
  return m;
}

Matrix Probit::cluster_meat(const Vector& beta, const std::vector<std::uint32_t>& cluster_of_row,
                            std::size_t clusters) const {
  Matrix sums(clusters, k());
  for_each_block(beta, [&](const Block& block) {
    for (std::size_t r = 0; r < block.count; ++r) {
      const std::size_t i = block.begin + r;
      const double lambda = row_terms(endog_[i], block.eta[r]).lambda;
      double* u = sums.row(cluster_of_row[i]);
      for (std::size_t j = 0; j < k(); ++j) u[j] = lambda * exog_.data[j * exog_.rows + i] + u[j];
    }
  });
  Matrix m(k(), k());
  for (std::size_t g = 0; g < clusters; ++g) {
    const double* u = sums.row(g);
    for (std::size_t a = 0; a < k(); ++a) {
      double* m_row = m.row(a);
      for (std::size_t c = 0; c < k(); ++c) m_row[c] = u[a] * u[c] + m_row[c];
    }
  }
  return m;
}

}  // namespace quorbis::probit
