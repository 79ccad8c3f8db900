#include "ame/accumulate.hpp"

#include <algorithm>

#include "ame/column_views.hpp"
#include "normal/normal.hpp"

namespace quorbis::ame {
namespace {

constexpr std::ptrdiff_t kLanes = 8;

// sum of term(r) over r < m, in kLanes interleaved partial sums: the loop vectorises, and the
// grouping depends on m alone, never on how the rows are laid out in memory.
template <class Term>
double lane_sum(std::ptrdiff_t m, const Term& term) noexcept {
  double lane[kLanes] = {};
  std::ptrdiff_t r = 0;
  for (; r + kLanes <= m; r += kLanes) {
    for (std::ptrdiff_t i = 0; i < kLanes; ++i) lane[i] += term(r + i);
  }
  for (std::ptrdiff_t i = 0; r + i < m; ++i) lane[i] += term(r + i);
  return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
}

template <class Column>
Column column_of(const core::MatrixView& rows, std::size_t l) noexcept {
  return Column(rows.data + static_cast<std::ptrdiff_t>(l) * rows.col_stride, rows.row_stride);
}

}  // namespace

ChunkSums::ChunkSums(const core::VectorView& params, const ColumnKinds& kinds, std::size_t k,
                     std::size_t block_rows)
    : params_(params),
      kinds_(kinds),
      k_(k),
      eta_(block_rows),
      pdf_(block_rows),
      dummy_scratch_(kinds.dummies.empty() ? 0 : 3 * block_rows),
      eta_x_pdf_(kinds.continuous.empty() ? 0 : k),
      cdf1_sum_(kinds.dummies.size()),
      cdf0_sum_(kinds.dummies.size()),
      pdf1_sum_(kinds.dummies.size()),
      pdf_difference_x_(kinds.dummies.size() * k) {}

double ChunkSums::param(std::size_t j) const noexcept {
  return params_[static_cast<std::ptrdiff_t>(j)];
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
  // Same arithmetic either way; contiguous columns just let the compiler use vector loads.
  if (rows.row_stride == std::ptrdiff_t{sizeof(double)}) {
    add_block_as<UnitColumn>(rows);
  } else {
    add_block_as<StridedColumn>(rows);
  }
}

template <class Column>
void ChunkSums::add_block_as(const core::MatrixView& rows) {
  const std::ptrdiff_t m = rows.rows;
  double* eta = eta_.data();
  double* f = pdf_.data();

  // eta_r = sum_l x_rl b_l from 0.0 in column order, vectorised across the rows.
  std::fill_n(eta, m, 0.0);
  for (std::size_t l = 0; l < k_; ++l) {
    const Column x = column_of<Column>(rows, l);
    const double b = param(l);
    for (std::ptrdiff_t r = 0; r < m; ++r) eta[r] = eta[r] + x[r] * b;
  }
  normal::pdf_block(eta, f, static_cast<std::size_t>(m));
  pdf_sum_ += lane_sum(m, [&](std::ptrdiff_t r) { return f[r]; });

  // One inner product per column serves every continuous row of the Jacobian.
  if (!kinds_.continuous.empty()) {
    for (std::size_t l = 0; l < k_; ++l) {
      const Column x = column_of<Column>(rows, l);
      eta_x_pdf_[l] += lane_sum(m, [&](std::ptrdiff_t r) { return (eta[r] * x[r]) * f[r]; });
    }
  }

  // Per dummy: eta1 and eta0, their Phi (summed, then overwritten) and phi; f1 - f0 ends in one.
  double* one = dummy_scratch_.data();
  double* zero = one + m;
  double* cdf = zero + m;
  for (std::size_t d = 0; d < kinds_.dummies.size(); ++d) {
    const std::size_t j = kinds_.dummies[d];
    const Column xj = column_of<Column>(rows, j);
    const double b = param(j);
    for (std::ptrdiff_t r = 0; r < m; ++r) {
      one[r] = eta[r] + (1.0 - xj[r]) * b;
      zero[r] = eta[r] - xj[r] * b;
    }
    normal::cdf_block(one, cdf, static_cast<std::size_t>(m));
    cdf1_sum_[d] += lane_sum(m, [&](std::ptrdiff_t r) { return cdf[r]; });
    normal::cdf_block(zero, cdf, static_cast<std::size_t>(m));
    cdf0_sum_[d] += lane_sum(m, [&](std::ptrdiff_t r) { return cdf[r]; });
    normal::pdf_block(one, one, static_cast<std::size_t>(m));
    normal::pdf_block(zero, zero, static_cast<std::size_t>(m));
    pdf1_sum_[d] += lane_sum(m, [&](std::ptrdiff_t r) { return one[r]; });
    for (std::ptrdiff_t r = 0; r < m; ++r) one[r] = one[r] - zero[r];

    double* sums = pdf_difference_x_.data() + d * k_;
    for (std::size_t l = 0; l < k_; ++l) {
      if (l == j) continue;  // the diagonal entry is sum f1
      const Column x = column_of<Column>(rows, l);
      sums[l] += lane_sum(m, [&](std::ptrdiff_t r) { return one[r] * x[r]; });
    }
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
    const double b = param(j);
    effects[j] = b * pdf_sum_ + effects[j];
    double* g = jacobian.data() + j * k_;
    for (std::size_t l = 0; l < k_; ++l) {
      const double h = eta_x_pdf_[l] * -b;
      g[l] = (l == j ? pdf_sum_ + h : h) + g[l];
    }
  }
}

}  // namespace quorbis::ame
