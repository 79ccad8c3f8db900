// Clustering in several dimensions at once (Cameron, Gelbach and Miller 2011, Journal of Business &
// Economic Statistics 29, 238-249): V = sum over the nonempty sets S of the dimensions of
// (-1)^(|S| + 1) B M_S B, M_S the meat of the clusters that are the intersections of the dimensions in S
// (two-way: V_firm + V_year - V_firm&year). Every such cluster is a union of cells, the intersections of
// all dimensions, so one pass sums the scores per cell and each term adds up the cells' sums. Where V is
// not positive semi-definite, its negative eigenvalues are set to 0, as the authors propose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/probit/clusters.hpp"
#include "core/probit/covariance.hpp"
#include "core/probit/matrix.hpp"

namespace quorbis::core::probit {

// The most dimensions: 2^16 - 1 terms already.
inline constexpr std::size_t kMaxDimensions = 16;

// The cells of the rows' codes in each dimension (codes of one row alike in all), numbered in order of
// first appearance, with the terms of every nonempty set of the dimensions.
Clusters multiway_clusters(const std::vector<std::span<const std::uint32_t>>& dimensions);

// The terms for cells whose codes are cell_codes (row-major, one row of `dimensions` codes per cell),
// ordered by the sets' bit masks: the first dimension alone, the second, both, the third, ...
std::vector<ClusterTerm> cluster_terms(const std::vector<std::uint32_t>& cell_codes, std::size_t dimensions);

// V from the classical covariance (the bread's negative) and the cells' score sums (column by column, as
// Evaluation::cluster_sums), each term's meat times G/(G - 1) with small_sample.
CovarianceEstimate multiway_covariance(const Matrix& classical, const Vector& cell_sums, const Clusters& clusters,
                                       bool small_sample);

// The sum of the terms' meats alone, positive semi-definite as V is made: the covariance of a sum of
// cells' sums that are themselves linearised estimates.
CovarianceEstimate multiway_meat(const Vector& cell_sums, const Clusters& clusters, bool small_sample);

}  // namespace quorbis::core::probit
