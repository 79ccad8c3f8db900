#include "core/ame/accumulate.hpp"

#include <algorithm>

#include "core/simd/normal_blocks.hpp"
#include "core/simd/rows.hpp"

namespace quorbis::core::ame {

ChunkSums::ChunkSums(const core::VectorView& params, const ColumnKinds& kinds, std::size_t k,
                     std::size_t block_rows)
    : params_(k),
      kinds_(kinds),
      k_(k),
      eta_(block_rows),
      pdf_(block_rows),
      weight_(kinds.continuous.empty() ? 0 : block_rows),
      dummy_scratch_(kinds.dummies.empty() ? 0 : 5 * block_rows),
      eta_x_pdf_(kinds.continuous.empty() ? 0 : k),
      cdf1_sum_(kinds.dummies.size()),
      cdf0_sum_(kinds.dummies.size()),
      pdf1_sum_(kinds.dummies.size()),
      pdf_difference_x_(kinds.dummies.size() * k) {
  for (std::size_t j = 0; j < k; ++j) params_[j] = params[static_cast<std::ptrdiff_t>(j)];
}

void ChunkSums::clear() noexcept {
  pdf_sum_ = 0.0;
  for (auto* sums : {&eta_x_pdf_, &cdf1_sum_, &cdf0_sum_, &pdf1_sum_, &pdf_difference_x_}) {
    std::fill(sums->begin(), sums->end(), 0.0);
  }
}

void ChunkSums::add(const ChunkSums& part) noexcept {
  pdf_sum_ = pdf_sum_ + part.pdf_sum_;
  auto add_all = [](std::vector<double>& sums, const std::vector<double>& more) {
    for (std::size_t i = 0; i < sums.size(); ++i) sums[i] = sums[i] + more[i];
  };
  add_all(eta_x_pdf_, part.eta_x_pdf_);
  add_all(cdf1_sum_, part.cdf1_sum_);
  add_all(cdf0_sum_, part.cdf0_sum_);
  add_all(pdf1_sum_, part.pdf1_sum_);
  add_all(pdf_difference_x_, part.pdf_difference_x_);
}

void ChunkSums::add_block(const core::MatrixView& rows) {
  const simd::RowKernels& kernels = simd::row_kernels();
  const auto m = static_cast<std::size_t>(rows.rows);
  const core::ColumnBlock x = core::column_block(rows, tile_);
  double* eta = eta_.data();
  double* f = pdf_.data();
  kernels.linear_index(x.data, x.stride, k_, params_.data(), 0, m, eta);
  simd::normal_blocks().pdf(eta, f, m);
  pdf_sum_ += kernels.sum(f, m);
  // One inner product per column serves every continuous row of the Jacobian.
  if (!kinds_.continuous.empty()) {
    for (std::size_t r = 0; r < m; ++r) weight_[r] = eta[r] * f[r];
    kernels.add_weighted_columns(x.data, x.stride, k_, weight_.data(), 0, m, eta_x_pdf_.data());
  }
  if (!kinds_.dummies.empty()) add_dummies(x, m);
}

// Per dummy: the index with x_j set to 1 and to 0. As x_j is 0 or 1, one of the two is eta itself
// (eta + (1 - x_j) b_j and eta - x_j b_j add a zero to it), whose phi is f and whose Phi serves every
// dummy: only the other one, eta - b_j or eta + b_j, needs Phi and phi of its own.
void ChunkSums::add_dummies(const core::ColumnBlock& x, std::size_t m) {
  const simd::RowKernels& kernels = simd::row_kernels();
  const simd::NormalBlocks& blocks = simd::normal_blocks();
  const double* eta = eta_.data();
  const double* f = pdf_.data();
  double* other = dummy_scratch_.data();
  double* cdf_other = other + m;
  double* pdf_other = cdf_other + m;
  double* cdf = pdf_other + m;
  double* pdf_difference = cdf + m;  // f1 - f0
  blocks.cdf(eta, cdf, m);
  for (std::size_t d = 0; d < kinds_.dummies.size(); ++d) {
    const std::size_t j = kinds_.dummies[d];
    const double* xj = x.data + j * x.stride;
    const double b = params_[j];
    for (std::size_t r = 0; r < m; ++r) other[r] = xj[r] == 1.0 ? eta[r] - b : eta[r] + b;
    blocks.cdf(other, cdf_other, m);
    blocks.pdf(other, pdf_other, m);
    // Phi(eta1), Phi(eta0), f1 and f1 - f0 in place of the other index's values, without a branch.
    for (std::size_t r = 0; r < m; ++r) {
      const bool set = xj[r] == 1.0;
      const double cdf_eta = cdf[r], cdf_o = cdf_other[r], pdf_eta = f[r], pdf_o = pdf_other[r];
      cdf_other[r] = set ? cdf_eta : cdf_o;
      other[r] = set ? cdf_o : cdf_eta;
      pdf_other[r] = set ? pdf_eta : pdf_o;
      pdf_difference[r] = set ? pdf_eta - pdf_o : pdf_o - pdf_eta;
    }
    cdf1_sum_[d] += kernels.sum(cdf_other, m);
    cdf0_sum_[d] += kernels.sum(other, m);
    pdf1_sum_[d] += kernels.sum(pdf_other, m);
    // The entry of column j itself is left unused: the diagonal of the Jacobian row is sum f1.
    kernels.add_weighted_columns(x.data, x.stride, k_, pdf_difference, 0, m, pdf_difference_x_.data() + d * k_);
  }
}

void ChunkSums::add_to(std::vector<double>& effects, std::vector<double>& jacobian) const {
  for (std::size_t d = 0; d < kinds_.dummies.size(); ++d) {
    const std::size_t j = kinds_.dummies[d];
    effects[j] = (cdf1_sum_[d] - cdf0_sum_[d]) + effects[j];
    const double* sums = pdf_difference_x_.data() + d * k_;
    double* g = jacobian.data() + j * k_;
    for (std::size_t l = 0; l < k_; ++l) g[l] = (l == j ? pdf1_sum_[d] : sums[l]) + g[l];
  }
  for (const std::size_t j : kinds_.continuous) {
    const double b = params_[j];
    effects[j] = b * pdf_sum_ + effects[j];
    double* g = jacobian.data() + j * k_;
    for (std::size_t l = 0; l < k_; ++l) {
      const double h = eta_x_pdf_[l] * -b;
      g[l] = (l == j ? pdf_sum_ + h : h) + g[l];
    }
  }
}

}  // namespace quorbis::core::ame
