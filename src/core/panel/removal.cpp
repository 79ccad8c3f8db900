#include "core/panel/removal.hpp"

#include <algorithm>
#include <numeric>

#include "core/panel/interrupt.hpp"
#include "core/parallel/pool.hpp"

namespace quorbis::core::panel {
namespace {

constexpr std::size_t kTaskRows = 1 << 16;

struct Counts {
  std::vector<std::size_t> rows, ones;
};

// Each dimension's counts on a thread of its own: integer sums, exact in any order.
std::vector<Counts> count_levels(parallel::Lease& lease, const Problem& p, const std::vector<std::uint8_t>& kept) {
  std::vector<Counts> counts(p.dimensions);
  auto count = [&](std::size_t d, std::size_t) {
    Counts& c = counts[d];
    c.rows.assign(p.levels[d], 0);
    c.ones.assign(p.levels[d], 0);
    for (std::size_t i = 0; i < p.rows(); ++i) {
      if (!kept[i]) continue;
      const std::size_t g = p.level(i, d);
      ++c.rows[g];
      c.ones[g] += p.endog[static_cast<std::ptrdiff_t>(i)] != 0.0;
      if (i % kTaskRows == 0) check_interrupt();
    }
  };
  lease.run(p.dimensions, count);
  return counts;
}

}  // namespace

Removal remove_perfectly_predicted(const Problem& p) {
  Removal out;
  out.kept.assign(p.rows(), 1);
  out.removed_levels.assign(p.dimensions, 0);
  parallel::Lease lease;
  std::vector<std::vector<std::uint8_t>> had_rows;
  for (bool first = true;; first = false) {
    const std::vector<Counts> counts = count_levels(lease, p, out.kept);
    std::vector<std::vector<std::uint8_t>> bad(p.dimensions);
    bool any = false;
    for (std::size_t d = 0; d < p.dimensions; ++d) {
      const Counts& c = counts[d];
      if (first) {
        had_rows.emplace_back(p.levels[d]);
        for (std::size_t g = 0; g < p.levels[d]; ++g) had_rows[d][g] = c.rows[g] > 0;
      }
      bad[d].resize(p.levels[d]);
      for (std::size_t g = 0; g < p.levels[d]; ++g) {
        bad[d][g] = c.rows[g] > 0 && (c.ones[g] == 0 || c.ones[g] == c.rows[g]);
        any = any || bad[d][g];
      }
    }
    if (!any) {
      out.kept_rows = std::accumulate(counts[0].rows.begin(), counts[0].rows.end(), std::size_t{0});
      for (std::size_t d = 0; d < p.dimensions; ++d) {
        for (std::size_t g = 0; g < p.levels[d]; ++g) out.removed_levels[d] += had_rows[d][g] && counts[d].rows[g] == 0;
      }
      return out;
    }
    const std::size_t tasks = (p.rows() + kTaskRows - 1) / kTaskRows;
    auto drop = [&](std::size_t task, std::size_t) {
      const std::size_t end = std::min(p.rows(), (task + 1) * kTaskRows);
      for (std::size_t i = task * kTaskRows; i < end; ++i) {
        for (std::size_t d = 0; d < p.dimensions && out.kept[i]; ++d) out.kept[i] = !bad[d][p.level(i, d)];
      }
    };
    lease.run(tasks, drop);
  }
}

}  // namespace quorbis::core::panel
