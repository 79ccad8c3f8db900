#include "core/panel/multiway.hpp"

#include <span>

#include "core/probit/multiway.hpp"

namespace quorbis::core::panel {

ClusteredProblem clustered_problem(const Problem& problem, const std::vector<std::uint8_t>& kept) {
  ClusteredProblem out{problem, {}, std::nullopt};
  if (problem.cluster_dimensions.size() < 2) return out;
  // The kept rows' codes, so that the terms count only the clusters that keep rows.
  std::vector<std::vector<std::uint32_t>> codes(problem.cluster_dimensions.size());
  for (std::size_t d = 0; d < codes.size(); ++d) {
    for (std::size_t i = 0; i < problem.rows(); ++i) {
      if (kept[i]) codes[d].push_back(problem.cluster_dimensions[d][i]);
    }
  }
  std::vector<std::span<const std::uint32_t>> views(codes.begin(), codes.end());
  probit::Clusters cells = probit::multiway_clusters(views);
  out.cell_of_row.assign(problem.rows(), 0);
  for (std::size_t i = 0, r = 0; i < problem.rows(); ++i) {
    if (kept[i]) out.cell_of_row[i] = cells.of_row[r++];
  }
  cells.of_row = {};
  out.problem.clusters = out.cell_of_row.data();
  out.problem.cluster_count = cells.count;
  out.multiway = std::move(cells);
  return out;
}

}  // namespace quorbis::core::panel
