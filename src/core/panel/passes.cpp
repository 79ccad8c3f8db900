#include "core/panel/passes.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>

#include "core/compensated_sum.hpp"
#include "core/normal/normal.hpp"
#include "core/panel/blocks.hpp"
#include "core/panel/interrupt.hpp"
#include "core/parallel/reduce.hpp"
#include "core/probit/outer.hpp"
#include "core/probit/probit.hpp"
#include "core/simd/normal_blocks.hpp"
#include "core/simd/rows.hpp"

namespace quorbis::core::panel {
namespace {

using probit::OuterSum;

double sign_factor(double y) noexcept { return (y + y) - 1.0; }

bool all_zero(const double* values, std::size_t count) noexcept {
  std::uint64_t bits = 0;
  for (std::size_t r = 0; r < count; ++r) bits |= std::bit_cast<std::uint64_t>(values[r]) << 1;
  return bits == 0;
}

// From z = -1 up, ratio (z + ratio) keeps at least a third of the ratio and is taken as it is; below (and
// for z large or not a number) the curvature kernel avoids the cancellation, as the plain fit does.
constexpr double kCancellationFrom = -1.0;
constexpr double kRatioVanishesFrom = 40.0;

}  // namespace

void row_terms(const double* y, const double* eta, std::size_t count, double* log_cdf, double* lambda,
               double* weight) {
  double z[kBlock], ratio[kBlock];
  for (std::size_t r = 0; r < count; ++r) z[r] = sign_factor(y[r]) * eta[r];
  if (all_zero(z, count)) {
    std::fill_n(log_cdf, count, normal::log_cdf(0.0));
    std::fill_n(ratio, count, normal::pdf_over_cdf(0.0));
  } else {
    simd::normal_blocks().log_cdf_and_ratio(z, log_cdf, ratio, count);
  }
  std::size_t tail_rows[kBlock];
  double tail[kBlock];
  std::size_t tails = 0;
  for (std::size_t r = 0; r < count; ++r) {
    lambda[r] = sign_factor(y[r]) * ratio[r];
    if (z[r] >= kCancellationFrom && z[r] < kRatioVanishesFrom) {
      weight[r] = ratio[r] * (z[r] + ratio[r]);
    } else {
      tail_rows[tails] = r;
      tail[tails++] = z[r];
    }
  }
  if (tails > 0) simd::normal_blocks().curvature_weight(tail, tail, tails);
  for (std::size_t i = 0; i < tails; ++i) weight[tail_rows[i]] = tail[i];
  for (std::size_t r = 0; r < count; ++r) {
    const double q = sign_factor(y[r]);
    weight[r] = (q * q) * weight[r];
  }
}

namespace {

// A cell's run of n rows from `row` added to its sums: of the weights, of the weighted first `columns`
// columns, and of lambda, each in row order. Plain loops: runs are mostly a few rows long.
void add_to_cell(const Layout& layout, std::size_t row, std::size_t n, const double* weight, const double* lambda,
                 std::size_t columns, double& weight_sum, double* values) {
  double w = weight_sum, l = values[columns];
  for (std::size_t r = 0; r < n; ++r) {
    w = w + weight[r];
    l = l + lambda[r];
  }
  weight_sum = w;
  values[columns] = l;
  for (std::size_t j = 0; j < columns; ++j) {
    const double* x = layout.exog() + j * layout.rows() + row;
    double s = values[j];
    for (std::size_t r = 0; r < n; ++r) s = s + weight[r] * x[r];
    values[j] = s;
  }
}

// Every task into a partial sum of its own, the partial sums folded in task order.
template <class Part, class Compute, class Fold>
void over_tasks(const Layout& layout, const Part& empty, Compute&& compute, Fold&& fold) {
  parallel::Lease lease;
  const std::size_t count = layout.tasks().size();
  std::vector<Part> slots(parallel::window(lease, count, empty.bytes()), empty);
  parallel::ordered_reduce(
      lease, count, slots, [&](std::size_t t, Part& part, std::size_t) { compute(layout.tasks()[t], part); },
      [&](std::size_t, const Part& part) { fold(part); });
}

struct LoglikePart {
  core::CompensatedSum loglike;
  std::size_t bytes() const noexcept { return sizeof(*this); }
};

struct DemeanedPart {
  DemeanedPart(std::size_t k, const DemeanedWants& wants)
      : hessian(k), gradient(wants.gradient ? k : 0, 0.0), raw_diagonal(wants.raw_diagonal ? k : 0, 0.0),
        score_outer(wants.score_outer ? k : 0) {}
  std::size_t bytes() const noexcept {
    return sizeof(*this) + (hessian.values() + score_outer.values() + gradient.size() + raw_diagonal.size()) *
                               sizeof(double);
  }
  void add(const DemeanedPart& part) {
    hessian.add(part.hessian);
    score_outer.add(part.score_outer);
    for (std::size_t j = 0; j < gradient.size(); ++j) gradient[j] = gradient[j] + part.gradient[j];
    for (std::size_t j = 0; j < raw_diagonal.size(); ++j) raw_diagonal[j] = raw_diagonal[j] + part.raw_diagonal[j];
  }
  OuterSum hessian;
  Vector gradient, raw_diagonal;
  OuterSum score_outer;
};

// Rows begin .. begin + count - 1 as a row-major tile of width `width`, their cells' offsets subtracted.
void demeaned_tile(const Layout& layout, std::size_t begin, std::size_t count, std::size_t cell,
                   const std::vector<double>& offsets, std::size_t stride, std::size_t width, double* tile) {
  const std::size_t k = layout.k();
  simd::row_kernels().transpose(layout.exog() + begin, layout.rows(), k, count, tile, width);
  for_each_segment(layout, begin, count, cell, [&](std::size_t c, std::size_t first, std::size_t n) {
    const double* o = offsets.data() + c * stride;
    for (std::size_t r = first; r < first + n; ++r) {
      for (std::size_t j = 0; j < k; ++j) tile[r * width + j] = tile[r * width + j] - o[j];
    }
  });
}

}  // namespace

void block_index(const Layout& layout, const Vector& beta, const std::vector<double>& offsets, std::size_t begin,
                 std::size_t count, std::size_t cell, double* eta) {
  simd::row_kernels().linear_index(layout.exog(), layout.rows(), layout.k(), beta.data(), begin, count, eta);
  for_each_segment(layout, begin, count, cell, [&](std::size_t c, std::size_t first, std::size_t n) {
    for (std::size_t r = first; r < first + n; ++r) eta[r] = eta[r] + offsets[c];
  });
}

void likelihood_pass(const Layout& layout, const Vector& beta, const std::vector<double>& offsets, RowTerms& terms,
                     CellSumsOf cell_sums, Likelihood& out) {
  const std::size_t k = layout.k();
  const std::size_t columns = cell_sums == CellSumsOf::columns_and_residual ? k : 0;
  out.sums.width = columns + 1;
  out.sums.weight.assign(layout.cells(), 0.0);
  out.sums.values.assign(layout.cells() * (columns + 1), 0.0);
  core::CompensatedSum loglike;
  over_tasks(
      layout, LoglikePart{},
      [&](const Task& task, LoglikePart& part) {
        part.loglike = {};
        for_each_block(layout, task, [&](std::size_t begin, std::size_t count, std::size_t cell) {
          double eta[kBlock], log_cdf[kBlock];
          double* lambda = terms.lambda.data() + begin;
          double* weight = terms.weight.data() + begin;
          block_index(layout, beta, offsets, begin, count, cell, eta);
          row_terms(layout.endog() + begin, eta, count, log_cdf, lambda, weight);
          part.loglike.add(simd::row_kernels().sum(log_cdf, count));
          for_each_segment(layout, begin, count, cell, [&](std::size_t c, std::size_t first, std::size_t n) {
            double* values = out.sums.values.data() + c * (columns + 1);
            add_to_cell(layout, begin + first, n, weight + first, lambda + first, columns, out.sums.weight[c],
                        values);
          });
        });
      },
      [&](const LoglikePart& part) { loglike.add(part.loglike); });
  out.loglike = loglike.value();
}

Demeaned demeaned_pass(const Layout& layout, const RowTerms& terms, const std::vector<double>& offsets,
                       std::size_t width, DemeanedWants wants) {
  const std::size_t k = layout.k();
  const std::size_t tile_width = OuterSum::width_of(k);
  DemeanedPart total(k, wants);
  over_tasks(
      layout, DemeanedPart(k, wants),
      [&](const Task& task, DemeanedPart& part) {
        part = DemeanedPart(k, wants);
        std::vector<double> tile(kBlock * tile_width, 0.0), scaled(kBlock * tile_width, 0.0);
        for_each_block(layout, task, [&](std::size_t begin, std::size_t count, std::size_t cell) {
          const double* weight = terms.weight.data() + begin;
          const double* lambda = terms.lambda.data() + begin;
          if (wants.raw_diagonal) {
            simd::row_kernels().transpose(layout.exog() + begin, layout.rows(), k, count, tile.data(), tile_width);
            for (std::size_t r = 0; r < count; ++r) {
              for (std::size_t j = 0; j < k; ++j) {
                const double x = tile[r * tile_width + j];
                part.raw_diagonal[j] = part.raw_diagonal[j] + weight[r] * (x * x);
              }
            }
          }
          demeaned_tile(layout, begin, count, cell, offsets, width, tile_width, tile.data());
          simd::row_kernels().scale_row_tile(tile.data(), weight, count, k, tile_width, scaled.data());
          part.hessian.subtract(scaled.data(), tile.data(), count);
          if (wants.gradient) {
            for_each_segment(layout, begin, count, cell, [&](std::size_t c, std::size_t first, std::size_t n) {
              const double residual = offsets[c * width + k];
              for (std::size_t r = first; r < first + n; ++r) {
                const double u = lambda[r] - weight[r] * residual;
                for (std::size_t j = 0; j < k; ++j) part.gradient[j] = part.gradient[j] + u * tile[r * tile_width + j];
              }
            });
          }
          if (wants.score_outer) {
            simd::row_kernels().scale_row_tile(tile.data(), lambda, count, k, tile_width, scaled.data());
            part.score_outer.add(scaled.data(), count);
          }
        });
      },
      [&](const DemeanedPart& part) { total.add(part); });
  Demeaned out;
  out.hessian = total.hessian.result();
  out.gradient = std::move(total.gradient);
  out.raw_diagonal = std::move(total.raw_diagonal);
  if (wants.score_outer) out.score_outer = total.score_outer.result();
  return out;
}

Vector cluster_sums(const Layout& layout, const RowTerms& terms, const std::vector<double>& offsets) {
  const std::size_t k = layout.k(), clusters = layout.cluster_count();
  Vector column_sums(clusters * k, 0.0);
  parallel::Lease lease;
  // Each column's sums on a thread of its own, over all rows in order.
  auto column = [&](std::size_t j, std::size_t) {
    const double* x = layout.exog() + j * layout.rows();
    double* sums = column_sums.data() + j * clusters;
    for (std::size_t c = 0; c < layout.cells(); ++c) {
      const double o = offsets[c * k + j];
      for (std::size_t r = layout.cell_begin(c); r < layout.cell_end(c); ++r) {
        double& u = sums[layout.clusters()[r]];
        u = terms.lambda[r] * (x[r] - o) + u;
      }
      if (c % 4096 == 0) check_interrupt();
    }
  };
  lease.run(k, column);
  return column_sums;
}

}  // namespace quorbis::core::panel
