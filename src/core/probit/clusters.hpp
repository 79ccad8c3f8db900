// Grouping of observations into clusters: each row of the cluster variables becomes a label of its
// values in fixed-point notation with four decimals joined by "|", and equal labels form a cluster.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/strided.hpp"

namespace quorbis::core::probit {

struct Clusters {
  std::vector<std::uint32_t> of_row;  // cluster id of each row, numbered in order of first appearance
  std::size_t count = 0;
};

// The label of one row of the cluster variables.
void cluster_label(const core::MatrixView& values, std::ptrdiff_t row, std::string& out);

Clusters combine_cluster_keys(const core::MatrixView& values);

}  // namespace quorbis::core::probit
