// The definition of lagged_sums (correction.hpp): the autocovariance part of the bias of the individual
// effects, an individual's rows taken as its periods in order.
#pragma once

#include <algorithm>
#include <vector>

#include "core/parallel/reduce.hpp"

namespace quorbis::core::panel {

namespace lagged {
// Individuals per task: each individual's sum is formed by one task, and the tasks' sums are added in order.
inline constexpr std::size_t kTaskLevels = 64;

struct Part {
  Vector sum;
  std::size_t bytes() const noexcept { return sizeof(*this) + sum.size() * sizeof(double); }
};
}  // namespace lagged

template <class Row>
Vector lagged_sums(const Layout& layout, const double* weights, const double* v, std::size_t L, std::size_t width,
                   Row&& row) {
  const Dimension& individuals = layout.dimension(0);
  const std::size_t count = (individuals.levels() + lagged::kTaskLevels - 1) / lagged::kTaskLevels;
  Vector total(width, 0.0);
  parallel::Lease lease;
  std::vector<lagged::Part> slots(parallel::window(lease, count, width * sizeof(double)),
                                  lagged::Part{Vector(width, 0.0)});
  auto compute = [&](std::size_t t, lagged::Part& part, std::size_t) {
    std::fill(part.sum.begin(), part.sum.end(), 0.0);
    std::vector<double> m, acc(width), inner(width);
    const std::size_t last = std::min(individuals.levels(), (t + 1) * lagged::kTaskLevels);
    for (std::size_t g = t * lagged::kTaskLevels; g < last; ++g) {
      const std::size_t first_cell = individuals.level_begin[g], end_cell = individuals.level_begin[g + 1];
      const std::size_t begin = layout.cell_begin(first_cell), periods = layout.cell_begin(end_cell) - begin;
      m.assign(periods * width, 0.0);
      double weight = 0.0;
      for (std::size_t c = first_cell; c < end_cell; ++c) {
        for (std::size_t r = layout.cell_begin(c); r < layout.cell_end(c); ++r) {
          row(r, c, m.data() + (r - begin) * width);
          weight = weight + weights[r];
        }
      }
      std::fill(acc.begin(), acc.end(), 0.0);
      for (std::size_t l = 1; l <= std::min(L, periods - 1); ++l) {
        std::fill(inner.begin(), inner.end(), 0.0);
        for (std::size_t s = l; s < periods; ++s) {
          const double lag = v[begin + s - l];
          for (std::size_t j = 0; j < width; ++j) inner[j] = inner[j] + m[s * width + j] * lag;
        }
        const double factor = static_cast<double>(periods) / static_cast<double>(periods - l);
        for (std::size_t j = 0; j < width; ++j) acc[j] = acc[j] + factor * inner[j];
      }
      for (std::size_t j = 0; j < width; ++j) part.sum[j] = part.sum[j] + acc[j] / weight;
    }
  };
  parallel::ordered_reduce(lease, count, slots, compute, [&](std::size_t, const lagged::Part& part) {
    for (std::size_t j = 0; j < width; ++j) total[j] = total[j] + part.sum[j];
  });
  return total;
}

}  // namespace quorbis::core::panel
