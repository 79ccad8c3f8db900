#include "core/probit/multiway.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>

#include "core/probit/eigen.hpp"
#include "core/probit/ids.hpp"
#include "core/probit/probit.hpp"

namespace quorbis::core::probit {
namespace {

// Eigenvalues of V below -2^12 k epsilon times its largest magnitude are more than the rounding of
// its entries (sums of terms that may cancel), as for the covariance's pivots: only they make V indefinite.
constexpr double kEigenEpsilons = 4096.0;

// A table by key while the keys' range holds a few entries per item; beyond, the hash map.
constexpr std::uint64_t kTableEntriesPerItem = 4;
constexpr std::uint64_t kSmallTable = std::uint64_t{1} << 16;

// Replaces groups[i] (below count) by the number of the intersection of group groups[i] with the class
// code(i) (below bound), numbered in order of first appearance, and returns the number of intersections.
// The key groups[i] * bound + code(i) is exact, so that two intersections never share a number.
template <class Code>
std::size_t intersect(std::vector<std::uint32_t>& groups, std::size_t count, std::uint64_t bound, Code code) {
  const std::uint64_t keys = count * bound;
  if (keys <= std::max(kTableEntriesPerItem * groups.size(), kSmallTable)) {
    std::vector<std::uint32_t> table(static_cast<std::size_t>(keys), IdOfKey::kNone);
    std::uint32_t next = 0;
    for (std::size_t i = 0; i < groups.size(); ++i) {
      std::uint32_t& id = table[groups[i] * bound + code(i)];
      if (id == IdOfKey::kNone) id = next++;
      groups[i] = id;
    }
    return next;
  }
  IdOfKey ids;
  for (std::size_t i = 0; i < groups.size(); ++i) groups[i] = ids.id(groups[i] * bound + code(i));
  return ids.size();
}

// One more than the largest code.
template <class Code>
std::uint64_t bound_of(std::size_t count, Code code) {
  std::uint64_t bound = 0;
  for (std::size_t i = 0; i < count; ++i) bound = std::max<std::uint64_t>(bound, std::uint64_t{code(i)} + 1);
  return bound;
}

// The cluster of each cell in the term of the dimensions in mask.
ClusterTerm term_of(const std::vector<std::uint32_t>& cell_codes, std::size_t dimensions, unsigned mask) {
  const std::size_t cells = cell_codes.size() / dimensions;
  ClusterTerm term;
  term.of_cell.assign(cells, 0);
  term.count = 1;
  for (std::size_t d = 0; d < dimensions; ++d) {
    if ((mask >> d & 1u) == 0) continue;
    auto code = [&](std::size_t c) { return cell_codes[c * dimensions + d]; };
    term.count = intersect(term.of_cell, term.count, bound_of(cells, code), code);
  }
  term.subtracted = std::popcount(mask) % 2 == 0;
  return term;
}

// sum_g u_g u_g' of the term's clusters, u_g the sum of its cells' sums in cell order.
Matrix term_meat(const Vector& cell_sums, std::size_t cells, std::size_t k, const ClusterTerm& term) {
  Vector sums(term.count * k, 0.0);
  for (std::size_t j = 0; j < k; ++j) {
    const double* from = cell_sums.data() + j * cells;
    double* to = sums.data() + j * term.count;
    for (std::size_t c = 0; c < cells; ++c) to[term.of_cell[c]] = to[term.of_cell[c]] + from[c];
  }
  return cluster_meat(sums, term.count, k);
}

// sum_t (-1)^(|S_t| + 1) f_t M_t over the terms, f_t = G/(G - 1) with small_sample, else 1.
Matrix combined_meat(const Vector& cell_sums, const Clusters& clusters, bool small_sample) {
  const std::size_t k = clusters.count == 0 ? 0 : cell_sums.size() / clusters.count;
  Matrix meat(k, k, 0.0);
  for (const ClusterTerm& term : clusters.terms) {
    const Matrix m = term_meat(cell_sums, clusters.count, k, term);
    // A term of one cluster has no factor: a covariance with a dimension of one cluster is no estimate,
    // which the caller says.
    const double g = static_cast<double>(term.count);
    const double factor = small_sample && term.count > 1 ? g / (g - 1.0) : 1.0;
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t c = 0; c < k; ++c) {
        const double part = factor * m(a, c);
        meat(a, c) = term.subtracted ? meat(a, c) - part : meat(a, c) + part;
      }
    }
  }
  return meat;
}

// V with its negative eigenvalues set to 0 when some is negative beyond rounding, and their number.
CovarianceEstimate clipped(Matrix v) {
  const std::optional<SymmetricEigen> eigen = symmetric_eigen(v);
  if (!eigen) return {std::move(v), 0};
  const Vector& values = eigen->values;
  double largest = 0.0;
  for (double value : values) largest = std::max(largest, std::fabs(value));
  const double k = static_cast<double>(values.size());
  const double rounding = kEigenEpsilons * k * std::numeric_limits<double>::epsilon() * largest;
  if (std::none_of(values.begin(), values.end(), [&](double value) { return value < -rounding; })) {
    return {std::move(v), 0};
  }
  CovarianceEstimate out{Matrix(v.rows(), v.cols()), 0};
  const Matrix& q = eigen->vectors;
  for (std::size_t e = 0; e < values.size(); ++e) {
    if (values[e] < 0.0) {
      ++out.negative_eigenvalues;
      continue;
    }
    for (std::size_t a = 0; a < v.rows(); ++a) {
      const double scaled = values[e] * q(a, e);
      for (std::size_t c = 0; c < v.cols(); ++c) out.cov(a, c) = out.cov(a, c) + scaled * q(c, e);
    }
  }
  return out;
}

}  // namespace

Clusters multiway_clusters(const std::vector<std::span<const std::uint32_t>>& dimensions) {
  const std::size_t rows = dimensions.front().size(), count = dimensions.size();
  Clusters out;
  out.of_row.assign(rows, 0);
  out.count = 1;
  for (const std::span<const std::uint32_t>& codes : dimensions) {
    auto code = [&](std::size_t i) { return codes[i]; };
    out.count = intersect(out.of_row, out.count, bound_of(rows, code), code);
  }
  // Each cell's codes, from its first row.
  std::vector<std::uint32_t> cell_codes(out.count * count);
  std::vector<bool> seen(out.count, false);
  for (std::size_t i = 0; i < rows; ++i) {
    const std::uint32_t c = out.of_row[i];
    if (seen[c]) continue;
    seen[c] = true;
    for (std::size_t d = 0; d < count; ++d) cell_codes[c * count + d] = dimensions[d][i];
  }
  out.terms = cluster_terms(cell_codes, count);
  return out;
}

std::vector<ClusterTerm> cluster_terms(const std::vector<std::uint32_t>& cell_codes, std::size_t dimensions) {
  std::vector<ClusterTerm> terms;
  for (unsigned mask = 1; mask < (1u << dimensions); ++mask) terms.push_back(term_of(cell_codes, dimensions, mask));
  return terms;
}

CovarianceEstimate multiway_covariance(const Matrix& classical, const Vector& cell_sums, const Clusters& clusters,
                                       bool small_sample) {
  return clipped(sandwich_covariance(classical, combined_meat(cell_sums, clusters, small_sample)));
}

CovarianceEstimate multiway_meat(const Vector& cell_sums, const Clusters& clusters, bool small_sample) {
  return clipped(combined_meat(cell_sums, clusters, small_sample));
}

}  // namespace quorbis::core::probit
