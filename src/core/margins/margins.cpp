#include "core/margins/margins.hpp"

#include <algorithm>
#include <cstdint>

#include "core/margins/task_sums.hpp"
#include "core/parallel/reduce.hpp"

namespace quorbis::core::margins {
namespace {

// Rows per block: a block's columns stay in cache between the passes over them.
constexpr std::ptrdiff_t kBlockRows = 256;
// Blocks per task, the unit of parallel work.
constexpr std::ptrdiff_t kTaskBlocks = 16;

}  // namespace

MarginSums margin_sums(const MarginProblem& problem) {
  const std::size_t k = static_cast<std::size_t>(problem.exog.cols);
  const std::size_t quantities = problem.predictions.size() + problem.derivatives.size();
  MarginSums total{std::vector<double>(quantities, 0.0), std::vector<double>(quantities * k, 0.0), 0.0};
  const std::ptrdiff_t n = problem.exog.rows;
  if (n == 0) return total;
  const std::vector<ScenarioWork> work = scenario_work(problem);
  const std::ptrdiff_t block = std::min(kBlockRows, n);
  const std::ptrdiff_t task_rows = block * kTaskBlocks;
  const auto tasks = static_cast<std::size_t>((n + task_rows - 1) / task_rows);
  parallel::Lease lease;
  std::vector<TaskSums> slots(parallel::window(lease, tasks), TaskSums(problem, work, static_cast<std::size_t>(block)));
  auto add_rows = [&](std::size_t t, TaskSums& part, std::size_t) {
    part.clear();
    const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(t) * task_rows;
    const std::ptrdiff_t last = std::min(n, first + task_rows);
    for (std::ptrdiff_t begin = first; begin < last; begin += block) part.add_block(begin, std::min(last, begin + block));
  };
  auto fold = [&](std::size_t, const TaskSums& part) { part.add_to(total); };
  parallel::ordered_reduce(lease, tasks, slots, add_rows, fold);
  return total;
}

}  // namespace quorbis::core::margins
