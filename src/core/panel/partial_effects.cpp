#include "core/panel/partial_effects.hpp"

#include <algorithm>
#include <cmath>

#include "core/ame/columns.hpp"
#include "core/panel/blocks.hpp"
#include "core/panel/correction.hpp"
#include "core/panel/covariance.hpp"
#include "core/panel/fit.hpp"
#include "core/panel/layout.hpp"
#include "core/panel/multiway.hpp"
#include "core/panel/passes.hpp"
#include "core/parallel/reduce.hpp"
#include "core/probit/multiway.hpp"
#include "core/probit/outer.hpp"
#include "core/probit/probit.hpp"
#include "core/simd/normal_blocks.hpp"
#include "core/simd/rows.hpp"

namespace quorbis::core::panel {
namespace {

using probit::OuterSum;

// A block's partial effects, column by column (column j at j * kBlock): the effect Delta, its first and
// second derivatives in the index, and its derivative in the column's own slope with the index held.
struct BlockEffects {
  explicit BlockEffects(std::size_t k) : delta(k * kBlock), first(k * kBlock), second(k * kBlock), own(k * kBlock) {}
  std::vector<double> delta, first, second, own;
};

void block_effects(const Layout& layout, const Vector& beta, const std::vector<bool>& dummy, std::size_t begin,
                   std::size_t count, const double* eta, BlockEffects& e) {
  const auto& normal = simd::normal_blocks();
  double phi[kBlock], e0[kBlock], e1[kBlock], c0[kBlock], c1[kBlock], p0[kBlock], p1[kBlock];
  normal.pdf(eta, phi, count);
  for (std::size_t j = 0; j < beta.size(); ++j) {
    const double b = beta[j];
    double* delta = e.delta.data() + j * kBlock;
    double* first = e.first.data() + j * kBlock;
    double* second = e.second.data() + j * kBlock;
    double* own = e.own.data() + j * kBlock;
    if (!dummy[j]) {
      for (std::size_t r = 0; r < count; ++r) {
        delta[r] = b * phi[r];
        first[r] = -(b * eta[r]) * phi[r];
        second[r] = b * ((eta[r] * eta[r] - 1.0) * phi[r]);
        own[r] = phi[r];
      }
      continue;
    }
    const double* x = layout.exog() + j * layout.rows() + begin;
    for (std::size_t r = 0; r < count; ++r) {
      e0[r] = eta[r] - x[r] * b;
      e1[r] = e0[r] + b;
    }
    normal.cdf(e0, c0, count);
    normal.cdf(e1, c1, count);
    normal.pdf(e0, p0, count);
    normal.pdf(e1, p1, count);
    for (std::size_t r = 0; r < count; ++r) {
      delta[r] = c1[r] - c0[r];
      first[r] = p1[r] - p0[r];
      second[r] = e0[r] * p0[r] - e1[r] * p1[r];
      own[r] = p1[r];
    }
  }
}

// What the first pass adds over a task's rows: the sums of the effects and of their own-slope
// derivatives, and d sum Delta / d beta through the index, sum_i d_ij x_il (x_il held at 0 for the
// column j of a dummy).
struct FirstPart {
  explicit FirstPart(std::size_t k) : delta(k, 0.0), own(k, 0.0), through_index(k, k) {}
  std::size_t bytes() const noexcept { return sizeof(*this) + (2 + delta.size()) * delta.size() * sizeof(double); }
  Vector delta, own;
  Matrix through_index;
};

// The cells' sums of the first pass: of w, w x and d (the projections of x and of d / w), of Delta, and for
// a correction of the expected curvature w~, z = -eta w~ and d2.
struct CellTables {
  CellSums projected;             // width 2k: w x, then d
  std::vector<double> delta;      // cells x k
  std::vector<double> expected, z, second;  // cells; cells; cells x k
};

struct Context {
  const Layout& layout;
  const Vector& beta;
  const std::vector<double>& offsets;
  const std::vector<bool>& dummy;
  bool corrected;
};

// The first pass: the rows' terms (lambda and w into terms), the effects' sums and the cells' sums; with
// `keep_first` each row's d (row-major) and w~ for the lagged sums.
FirstPart first_pass(const Context& ctx, RowTerms& terms, CellTables& cells, std::vector<double>* first_rows,
                     std::vector<double>* expected_rows) {
  const Layout& layout = ctx.layout;
  const std::size_t k = layout.k();
  cells.projected.width = 2 * k;
  cells.projected.weight.assign(layout.cells(), 0.0);
  cells.projected.values.assign(layout.cells() * 2 * k, 0.0);
  cells.delta.assign(layout.cells() * k, 0.0);
  if (ctx.corrected) {
    cells.expected.assign(layout.cells(), 0.0);
    cells.z.assign(layout.cells(), 0.0);
    cells.second.assign(layout.cells() * k, 0.0);
  }
  FirstPart total(k);
  parallel::Lease lease;
  std::vector<FirstPart> slots(parallel::window(lease, layout.tasks().size(), FirstPart(k).bytes()), FirstPart(k));
  auto compute = [&](std::size_t t, FirstPart& part, std::size_t) {
    part = FirstPart(k);
    BlockEffects e(k);
    for_each_block(layout, layout.tasks()[t], [&](std::size_t begin, std::size_t count, std::size_t cell) {
      double eta[kBlock], log_cdf[kBlock], upper[kBlock], minus[kBlock], expected[kBlock], z[kBlock];
      double* lambda = terms.lambda.data() + begin;
      double* weight = terms.weight.data() + begin;
      block_index(layout, ctx.beta, ctx.offsets, begin, count, cell, eta);
      row_terms(layout.endog() + begin, eta, count, log_cdf, lambda, weight);
      block_effects(layout, ctx.beta, ctx.dummy, begin, count, eta, e);
      if (ctx.corrected) {
        for (std::size_t r = 0; r < count; ++r) minus[r] = -eta[r];
        simd::normal_blocks().pdf_over_cdf(eta, upper, count);
        simd::normal_blocks().pdf_over_cdf(minus, expected, count);
        for (std::size_t r = 0; r < count; ++r) {
          expected[r] = upper[r] * expected[r];
          z[r] = minus[r] * expected[r];
        }
      }
      for (std::size_t j = 0; j < k; ++j) {
        const double* delta = e.delta.data() + j * kBlock;
        const double* first = e.first.data() + j * kBlock;
        const double* own = e.own.data() + j * kBlock;
        for (std::size_t r = 0; r < count; ++r) {
          part.delta[j] = part.delta[j] + delta[r];
          part.own[j] = part.own[j] + own[r];
        }
        for (std::size_t l = 0; l < k; ++l) {
          if (l == j && ctx.dummy[j]) continue;
          const double* x = layout.exog() + l * layout.rows() + begin;
          double s = part.through_index(j, l);
          for (std::size_t r = 0; r < count; ++r) s = s + first[r] * x[r];
          part.through_index(j, l) = s;
        }
      }
      if (first_rows != nullptr) {
        for (std::size_t r = 0; r < count; ++r) {
          for (std::size_t j = 0; j < k; ++j) (*first_rows)[(begin + r) * k + j] = e.first[j * kBlock + r];
          (*expected_rows)[begin + r] = expected[r];
        }
      }
      for_each_segment(layout, begin, count, cell, [&](std::size_t c, std::size_t off, std::size_t n) {
        double* projected = cells.projected.values.data() + c * 2 * k;
        double w = cells.projected.weight[c];
        for (std::size_t r = off; r < off + n; ++r) w = w + weight[r];
        cells.projected.weight[c] = w;
        for (std::size_t j = 0; j < k; ++j) {
          const double* x = layout.exog() + j * layout.rows() + begin;
          double wx = projected[j], d = projected[k + j], delta = cells.delta[c * k + j];
          for (std::size_t r = off; r < off + n; ++r) {
            wx = wx + weight[r] * x[r];
            d = d + e.first[j * kBlock + r];
            delta = delta + e.delta[j * kBlock + r];
          }
          projected[j] = wx;
          projected[k + j] = d;
          cells.delta[c * k + j] = delta;
        }
        if (!ctx.corrected) return;
        double we = cells.expected[c], zs = cells.z[c];
        for (std::size_t r = off; r < off + n; ++r) {
          we = we + expected[r];
          zs = zs + z[r];
        }
        cells.expected[c] = we;
        cells.z[c] = zs;
        for (std::size_t j = 0; j < k; ++j) {
          double s = cells.second[c * k + j];
          for (std::size_t r = off; r < off + n; ++r) s = s + e.second[j * kBlock + r];
          cells.second[c * k + j] = s;
        }
      });
    });
  };
  parallel::ordered_reduce(lease, layout.tasks().size(), slots, compute, [&](std::size_t, const FirstPart& part) {
    for (std::size_t j = 0; j < k; ++j) {
      total.delta[j] = total.delta[j] + part.delta[j];
      total.own[j] = total.own[j] + part.own[j];
      for (std::size_t l = 0; l < k; ++l) {
        total.through_index(j, l) = total.through_index(j, l) + part.through_index(j, l);
      }
    }
  });
  return total;
}

// The third pass over a task's rows: Gamma_i = (x~_i Q + Psi_i) v_i with Q = A^-1 J', and the centred
// effects Delta_i - delta.
struct ThirdPart {
  ThirdPart(std::size_t k, bool scores) : gamma_outer(scores ? k : 0), centred_outer(k) {}
  std::size_t bytes() const noexcept {
    return sizeof(*this) + (gamma_outer.values() + centred_outer.values()) * sizeof(double);
  }
  OuterSum gamma_outer, centred_outer;
};

struct ThirdWants {
  bool gamma_outer = false;
  std::vector<double>* gamma_rows = nullptr;   // rows x k, column-major, for cluster sums
  std::vector<double>* gamma_cells = nullptr;  // cells x k, for the individuals' sums
};

ThirdPart third_pass(const Context& ctx, const RowTerms& terms, const std::vector<double>& offsets, const Matrix& q,
                     const Vector& delta_mean, const ThirdWants& wants) {
  const Layout& layout = ctx.layout;
  const std::size_t k = layout.k(), width = OuterSum::width_of(k);
  ThirdPart total(k, wants.gamma_outer);
  if (wants.gamma_cells != nullptr) wants.gamma_cells->assign(layout.cells() * k, 0.0);
  parallel::Lease lease;
  std::vector<ThirdPart> slots(parallel::window(lease, layout.tasks().size(), ThirdPart(k, wants.gamma_outer).bytes()),
                               ThirdPart(k, wants.gamma_outer));
  auto compute = [&](std::size_t t, ThirdPart& part, std::size_t) {
    part = ThirdPart(k, wants.gamma_outer);
    BlockEffects e(k);
    std::vector<double> tile(kBlock * width, 0.0), gamma(kBlock * width, 0.0), centred(kBlock * width, 0.0);
    for_each_block(layout, layout.tasks()[t], [&](std::size_t begin, std::size_t count, std::size_t cell) {
      double eta[kBlock];
      const double* v = terms.lambda.data() + begin;
      block_index(layout, ctx.beta, ctx.offsets, begin, count, cell, eta);
      block_effects(layout, ctx.beta, ctx.dummy, begin, count, eta, e);
      simd::row_kernels().transpose(layout.exog() + begin, layout.rows(), k, count, tile.data(), width);
      for_each_segment(layout, begin, count, cell, [&](std::size_t c, std::size_t off, std::size_t n) {
        const double* o = offsets.data() + c * 2 * k;
        for (std::size_t r = off; r < off + n; ++r) {
          double* x = tile.data() + r * width;
          for (std::size_t l = 0; l < k; ++l) x[l] = x[l] - o[l];
          double* g = gamma.data() + r * width;
          for (std::size_t j = 0; j < k; ++j) {
            double s = 0.0;
            for (std::size_t l = 0; l < k; ++l) s = s + x[l] * q(l, j);
            g[j] = (s + o[k + j]) * v[r];
          }
          if (wants.gamma_cells != nullptr) {
            double* sum = wants.gamma_cells->data() + c * k;
            for (std::size_t j = 0; j < k; ++j) sum[j] = sum[j] + g[j];
          }
        }
      });
      for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t j = 0; j < k; ++j) centred[r * width + j] = e.delta[j * kBlock + r] - delta_mean[j];
        if (wants.gamma_rows != nullptr) {
          for (std::size_t j = 0; j < k; ++j) (*wants.gamma_rows)[j * layout.rows() + begin + r] = gamma[r * width + j];
        }
      }
      part.centred_outer.add(centred.data(), count);
      if (wants.gamma_outer) part.gamma_outer.add(gamma.data(), count);
    });
  };
  parallel::ordered_reduce(lease, layout.tasks().size(), slots, compute, [&](std::size_t, const ThirdPart& part) {
    total.gamma_outer.add(part.gamma_outer);
    total.centred_outer.add(part.centred_outer);
  });
  return total;
}

// sum_g s_g s_g' over the levels of dimension d, s_g = sum over g's cells of the cells' values (width k)
// less, when mean is given, the level's rows times mean; with `other`, sum_g s_g o_g' instead.
Matrix level_outer(const Layout& layout, std::size_t d, const std::vector<double>& values, const Vector* mean,
                   const std::vector<double>* other) {
  const std::size_t k = layout.k();
  const Dimension& dim = layout.dimension(d);
  Matrix out(k, k);
  Vector s(k), o(k);
  for (std::size_t g = 0; g < dim.levels(); ++g) {
    std::fill(s.begin(), s.end(), 0.0);
    std::fill(o.begin(), o.end(), 0.0);
    double rows = 0.0;
    for (std::size_t p = dim.level_begin[g]; p < dim.level_begin[g + 1]; ++p) {
      const std::size_t c = dim.cell(p);
      rows = rows + static_cast<double>(layout.cell_end(c) - layout.cell_begin(c));
      for (std::size_t j = 0; j < k; ++j) {
        s[j] = s[j] + values[c * k + j];
        if (other != nullptr) o[j] = o[j] + (*other)[c * k + j];
      }
    }
    if (mean != nullptr) {
      for (std::size_t j = 0; j < k; ++j) s[j] = s[j] - rows * (*mean)[j];
    }
    const Vector& right = other != nullptr ? o : s;
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t b = 0; b < k; ++b) out(a, b) = out(a, b) + s[a] * right[b];
    }
  }
  return out;
}

void add_scaled(Matrix& to, const Matrix& m, double factor) {
  for (std::size_t a = 0; a < to.rows(); ++a) {
    for (std::size_t b = 0; b < to.cols(); ++b) to(a, b) = to(a, b) + factor * m(a, b);
  }
}

// The cells' offsets of width 2k: the projections of the columns, then of d / w.
Projected project_both(const Layout& layout, const CellSums& sums) {
  Projected out;
  out.coefficients = zero_coefficients(layout, sums.width);
  Projector(layout).project(sums, out.coefficients, kFinestProjection, kMaxSweeps);
  cell_offsets(layout, out.coefficients, sums.width, out.offsets);
  return out;
}

// The bias of the average effects' sum over all rows (see the header).
Vector effects_bias(const Context& ctx, const CellTables& cells, const std::vector<double>& first_rows,
                    const std::vector<double>& expected_rows, const RowTerms& terms, std::size_t L) {
  const Layout& layout = ctx.layout;
  const std::size_t k = layout.k();
  const CellSums first = columns_of(cells.projected, k, k, cells.expected);
  const Projected psi = project_both(layout, first);
  std::vector<double> numerator(layout.cells() * k);
  for (std::size_t c = 0; c < layout.cells(); ++c) {
    for (std::size_t j = 0; j < k; ++j) {
      numerator[c * k + j] = 0.5 * (cells.second[c * k + j] - psi.offsets[c * k + j] * cells.z[c]);
    }
  }
  Vector bias = level_ratios(layout, cells.expected, k, numerator);
  if (L > 0) {
    const Vector lagged = lagged_sums(layout, expected_rows.data(), terms.lambda.data(), L, k,
                                      [&](std::size_t r, std::size_t c, double* out) {
                                        for (std::size_t j = 0; j < k; ++j) {
                                          out[j] = first_rows[r * k + j] - psi.offsets[c * k + j] * expected_rows[r];
                                        }
                                      });
    for (std::size_t j = 0; j < k; ++j) bias[j] = bias[j] + lagged[j];
  }
  return bias;
}

// J = d sum Delta / d beta with the effects following the slopes: through the index, less through the
// projection of the columns (sum over cells of sum d times the cell's offsets), plus the own slopes' terms.
Matrix jacobian_of(const Layout& layout, const FirstPart& first, const CellTables& cells, const Projected& projected) {
  const std::size_t k = layout.k();
  Matrix jacobian = first.through_index;
  for (std::size_t c = 0; c < layout.cells(); ++c) {
    const double* d = cells.projected.values.data() + c * 2 * k + k;
    const double* o = projected.offsets.data() + c * 2 * k;
    for (std::size_t j = 0; j < k; ++j) {
      for (std::size_t l = 0; l < k; ++l) jacobian(j, l) = jacobian(j, l) - d[j] * o[l];
    }
  }
  for (std::size_t j = 0; j < k; ++j) jacobian(j, j) = jacobian(j, j) + first.own[j];
  return jacobian;
}

// Q = A^-1 J', A = sum w x~ x~' from a pass over the demeaned rows.
Matrix gamma_factor(const Layout& layout, const RowTerms& terms, const Projected& projected, const Matrix& jacobian) {
  const std::size_t k = layout.k();
  const Matrix inverse = inverse_or_nan(demeaned_pass(layout, terms, projected.offsets, 2 * k, {}).hessian);
  Matrix q(k, k);
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t j = 0; j < k; ++j) {
      double s = 0.0;
      for (std::size_t l = 0; l < k; ++l) s = s + inverse(a, l) * jacobian(j, l);
      q(a, j) = s;
    }
  }
  return q;
}

// sum_g u_g u_g' over the clusters, u_g the sum of Gamma over g's rows (column-major gamma_rows); multiway,
// over the terms that group the clusters.
Matrix clustered_gamma(const Layout& layout, const std::vector<double>& gamma_rows, const Clustering& clustering) {
  const std::size_t k = layout.k(), n = layout.rows(), clusters = layout.cluster_count();
  Vector column_sums(clusters * k, 0.0);
  parallel::Lease lease;
  // Each column's cluster sums on a thread of its own, over the rows in order.
  auto column = [&](std::size_t j, std::size_t) {
    for (std::size_t r = 0; r < n; ++r) {
      double& u = column_sums[j * clusters + layout.clusters()[r]];
      u = u + gamma_rows[j * n + r];
    }
  };
  lease.run(k, column);
  if (clustering.multiway != nullptr) {
    return probit::multiway_meat(column_sums, *clustering.multiway, clustering.small_sample).cov;
  }
  return probit::cluster_meat(column_sums, clusters, k);
}

// The covariance of sum Gamma: J Q + sum w Psi Psi' (classical), sum Gamma Gamma' (robust), or over the
// clusters' sums.
Matrix estimation_sums(const Layout& layout, probit::Covariance kind, const Clustering& clustering,
                       const Matrix& jacobian, const Matrix& q, const CellTables& cells, const Projected& projected,
                       const ThirdPart& third, const std::vector<double>& gamma_rows) {
  const std::size_t k = layout.k();
  if (kind == probit::Covariance::robust) return third.gamma_outer.result();
  if (kind == probit::Covariance::clustered) return clustered_gamma(layout, gamma_rows, clustering);
  Matrix v = probit::multiply(jacobian, q);
  for (std::size_t c = 0; c < layout.cells(); ++c) {
    const double w = cells.projected.weight[c];
    const double* psi = projected.offsets.data() + c * 2 * k + k;
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t b = 0; b < k; ++b) v(a, b) = v(a, b) + w * (psi[a] * psi[b]);
    }
  }
  return v;
}

// The variation of sum Delta over the levels of each dimension, and with lags its covariance with sum
// Gamma over the individuals.
Matrix sampling_sums(const Layout& layout, const CellTables& cells, const Vector& mean, const ThirdPart& third,
                     const std::vector<double>* gamma_cells) {
  const std::size_t k = layout.k();
  Matrix v(k, k);
  for (std::size_t d = 0; d < layout.dimensions(); ++d) {
    add_scaled(v, level_outer(layout, d, cells.delta, &mean, nullptr), 1.0);
  }
  add_scaled(v, third.centred_outer.result(), -static_cast<double>(layout.dimensions() - 1));
  if (gamma_cells != nullptr) {
    const Matrix cross = level_outer(layout, 0, cells.delta, &mean, gamma_cells);
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t b = 0; b < k; ++b) v(a, b) = v(a, b) + (cross(a, b) + cross(b, a));
    }
  }
  return v;
}

Matrix scaled(const Matrix& m, double factor) {
  Matrix out(m.rows(), m.cols());
  add_scaled(out, m, factor);
  return out;
}

// Every row kept: the rows given are those of the fit.
Removal keep_all(const Problem& problem) {
  Removal all;
  all.kept.assign(problem.rows(), 1);
  all.kept_rows = problem.rows();
  all.removed_levels.assign(problem.dimensions, 0);
  return all;
}

}  // namespace

PartialEffects average_partial_effects(const Problem& problem, const probit::Vector& beta,
                                       const std::vector<std::vector<double>>& effects, probit::Covariance kind,
                                       std::optional<std::size_t> correction_lags, bool small_sample) {
  const Removal all = keep_all(problem);
  const ClusteredProblem clustered = clustered_problem(problem, all.kept);
  const Clustering clustering{clustered.multiway ? &*clustered.multiway : nullptr, small_sample};
  const Layout layout(clustered.problem, all);
  const std::size_t k = layout.k(), n = layout.rows(), L = correction_lags.value_or(0);
  PartialEffects out;
  out.dummy = ame::dummy_columns(problem.exog, std::vector<bool>(k, false));
  const std::vector<double> offsets = offsets_of(layout, effects);
  const Context ctx{layout, beta, offsets, out.dummy, correction_lags.has_value()};

  RowTerms terms(n);
  CellTables cells;
  std::vector<double> first_rows(L > 0 ? n * k : 0), expected_rows(L > 0 ? n : 0);
  const FirstPart first =
      first_pass(ctx, terms, cells, L > 0 ? &first_rows : nullptr, L > 0 ? &expected_rows : nullptr);
  out.effect.resize(k);
  for (std::size_t j = 0; j < k; ++j) out.effect[j] = first.delta[j] / static_cast<double>(n);

  const Projected projected = project_both(layout, cells.projected);
  const Matrix jacobian = jacobian_of(layout, first, cells, projected);
  const Matrix q = gamma_factor(layout, terms, projected, jacobian);
  std::vector<double> gamma_rows, gamma_cells;
  ThirdWants wants;
  wants.gamma_outer = kind == probit::Covariance::robust;
  if (kind == probit::Covariance::clustered) {
    gamma_rows.resize(n * k);
    wants.gamma_rows = &gamma_rows;
  }
  if (L > 0) wants.gamma_cells = &gamma_cells;
  const ThirdPart third = third_pass(ctx, terms, projected.offsets, q, out.effect, wants);

  const double scale = 1.0 / (static_cast<double>(n) * static_cast<double>(n));
  out.estimation =
      scaled(estimation_sums(layout, kind, clustering, jacobian, q, cells, projected, third, gamma_rows), scale);
  out.sampling = scaled(sampling_sums(layout, cells, out.effect, third, L > 0 ? &gamma_cells : nullptr), scale);
  if (correction_lags) {
    const Vector bias = effects_bias(ctx, cells, first_rows, expected_rows, terms, L);
    for (std::size_t j = 0; j < k; ++j) out.effect[j] = out.effect[j] - bias[j] / static_cast<double>(n);
  }
  return out;
}

}  // namespace quorbis::core::panel
