// Grouping of observations into clusters: each row of the cluster variables becomes a label of its
// values in fixed-point notation with four decimals joined by "|", and equal labels form a cluster. For
// clustering in several dimensions at once, the clusters are the cells of all of them, grouped again for
// each term of the multiway covariance (see multiway.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/strided.hpp"

namespace quorbis::core::probit {

// One term of a multiway covariance: the clusters of a set of the dimensions (their intersections).
struct ClusterTerm {
  std::vector<std::uint32_t> of_cell;  // the term's cluster of each cell, numbered in order of first appearance
  std::size_t count = 0;
  bool subtracted = false;  // an even number of dimensions: the term enters with a minus sign
};

struct Clusters {
  std::vector<std::uint32_t> of_row;  // cluster id of each row, numbered in order of first appearance
  std::size_t count = 0;
  // Multiway: the clusters above are the cells of every dimension, and each term groups them; empty for
  // one clustering on the cells.
  std::vector<ClusterTerm> terms;
};

// The label of one row of the cluster variables.
void cluster_label(const core::MatrixView& values, std::ptrdiff_t row, std::string& out);

Clusters combine_cluster_keys(const core::MatrixView& values);

}  // namespace quorbis::core::probit
