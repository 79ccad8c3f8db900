// Clustering of a fit with fixed effects in several dimensions: the cells of the dimensions among the
// rows kept stand as the layout's clusters, and the terms of probit/multiway.hpp group them. With one
// dimension the problem's clusters stand as they are.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/panel/problem.hpp"
#include "core/probit/clusters.hpp"

namespace quorbis::core::panel {

struct ClusteredProblem {
  Problem problem;                           // with the cells as its clusters when multiway
  std::vector<std::uint32_t> cell_of_row;    // what problem.clusters points to then (0 for rows left out)
  std::optional<probit::Clusters> multiway;  // the cells' count and terms; no rows
};

ClusteredProblem clustered_problem(const Problem& problem, const std::vector<std::uint8_t>& kept);

}  // namespace quorbis::core::panel
