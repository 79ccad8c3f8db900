#include "core/panel/correction.hpp"

#include "core/panel/blocks.hpp"
#include "core/panel/covariance.hpp"
#include "core/simd/normal_blocks.hpp"
#include "core/simd/rows.hpp"

namespace quorbis::core::panel {
Vector level_ratios(const Layout& layout, const std::vector<double>& weight, std::size_t width,
                    const std::vector<double>& numerator) {
  Vector total(width, 0.0), sum(width);
  for (std::size_t d = 0; d < layout.dimensions(); ++d) {
    const Dimension& dim = layout.dimension(d);
    for (std::size_t g = 0; g < dim.levels(); ++g) {
      std::fill(sum.begin(), sum.end(), 0.0);
      double w = 0.0;
      for (std::size_t p = dim.level_begin[g]; p < dim.level_begin[g + 1]; ++p) {
        const std::size_t c = dim.cell(p);
        w = w + weight[c];
        for (std::size_t j = 0; j < width; ++j) sum[j] = sum[j] + numerator[c * width + j];
      }
      for (std::size_t j = 0; j < width; ++j) total[j] = total[j] + sum[j] / w;
    }
  }
  return total;
}

namespace {

// At slopes beta and effects summing to offsets per cell: the expected curvature of every row, which goes
// into terms.weight, and the cells' sums of it, of it times the columns (width k), of z and of z x_j.
struct ExpectedCurvature {
  CellSums weighted;
  std::vector<double> z, z_columns;  // cells; cells x k
};

ExpectedCurvature expected_curvature(const Layout& layout, const Vector& beta, const std::vector<double>& offsets,
                                     RowTerms& terms) {
  const std::size_t k = layout.k();
  ExpectedCurvature out;
  out.weighted.width = k;
  out.weighted.weight.assign(layout.cells(), 0.0);
  out.weighted.values.assign(layout.cells() * k, 0.0);
  out.z.assign(layout.cells(), 0.0);
  out.z_columns.assign(layout.cells() * k, 0.0);
  parallel::Lease lease;
  auto task = [&](std::size_t t, std::size_t) {
    for_each_block(layout, layout.tasks()[t], [&](std::size_t begin, std::size_t count, std::size_t cell) {
      double eta[kBlock], minus[kBlock], upper[kBlock], z[kBlock];
      double* weight = terms.weight.data() + begin;
      block_index(layout, beta, offsets, begin, count, cell, eta);
      for (std::size_t r = 0; r < count; ++r) minus[r] = -eta[r];
      // phi^2 / (Phi(eta) Phi(-eta)) as the product of the two ratios, exact in both tails.
      simd::normal_blocks().pdf_over_cdf(eta, upper, count);
      simd::normal_blocks().pdf_over_cdf(minus, weight, count);
      for (std::size_t r = 0; r < count; ++r) {
        weight[r] = upper[r] * weight[r];
        z[r] = minus[r] * weight[r];
      }
      for_each_segment(layout, begin, count, cell, [&](std::size_t c, std::size_t first, std::size_t n) {
        const auto& rows = simd::row_kernels();
        out.weighted.weight[c] = out.weighted.weight[c] + rows.sum(weight + first, n);
        rows.add_weighted_columns(layout.exog(), layout.rows(), k, weight + first, begin + first, n,
                                  out.weighted.values.data() + c * k);
        out.z[c] = out.z[c] + rows.sum(z + first, n);
        rows.add_weighted_columns(layout.exog(), layout.rows(), k, z + first, begin + first, n,
                                  out.z_columns.data() + c * k);
      });
    });
  };
  lease.run(layout.tasks().size(), task);
  return out;
}

}  // namespace

Vector corrected_slopes(const Layout& layout, RowTerms& terms, const Estimates& estimates, std::size_t L) {
  const std::size_t k = layout.k();
  const ExpectedCurvature expected = expected_curvature(layout, estimates.beta, estimates.offsets, terms);
  const Projected columns = project_columns(layout, expected.weighted, estimates.projections, k + 1);
  // sum over a cell of z x~ = sum z x - (sum z) times the cell's offsets.
  std::vector<double> numerator(layout.cells() * k);
  for (std::size_t c = 0; c < layout.cells(); ++c) {
    for (std::size_t j = 0; j < k; ++j) {
      numerator[c * k + j] = 0.5 * (expected.z_columns[c * k + j] - expected.z[c] * columns.offsets[c * k + j]);
    }
  }
  Vector b = level_ratios(layout, expected.weighted.weight, k, numerator);
  if (L > 0) {
    // w x~ of each row, whose lagged products with the scores enter the individuals' bias.
    auto weighted_demeaned = [&](std::size_t r, std::size_t c, double* out) {
      for (std::size_t j = 0; j < k; ++j) {
        out[j] = terms.weight[r] * (layout.exog()[j * layout.rows() + r] - columns.offsets[c * k + j]);
      }
    };
    const Vector lagged = lagged_sums(layout, terms.weight.data(), terms.lambda.data(), L, k, weighted_demeaned);
    for (std::size_t j = 0; j < k; ++j) b[j] = b[j] + lagged[j];
  }
  const Demeaned demeaned = demeaned_pass(layout, terms, columns.offsets, k, {});
  const Vector shift = probit::multiply(inverse_or_nan(demeaned.hessian), b);
  Vector corrected = estimates.beta;
  for (std::size_t j = 0; j < k; ++j) corrected[j] = corrected[j] + shift[j];
  return corrected;
}

}  // namespace quorbis::core::panel
