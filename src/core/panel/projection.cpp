#include "core/panel/projection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/parallel/pool.hpp"

namespace quorbis::core::panel {
namespace {

// Cells per task of a sweep: each level's sum is formed by one task, whatever the thread count.
constexpr std::size_t kTaskCells = 2048;

// Runs of whole levels of dimension d with at least kTaskCells cells each, the last one shorter.
std::vector<std::size_t> level_tasks(const Dimension& dim) {
  std::vector<std::size_t> starts{0};
  for (std::size_t g = 0; g + 1 < dim.levels(); ++g) {
    if (dim.level_begin[g + 1] - dim.level_begin[starts.back()] >= kTaskCells) starts.push_back(g + 1);
  }
  starts.push_back(dim.levels());
  return starts;
}

// A column stops when its last sweep changed no coefficient by more than tolerance times the largest, or
// when its changes have stopped shrinking: kStalled sweeps without a change below the smallest so far
// mean that rounding, not the iteration, sets their size.
constexpr int kStalled = 10;

struct Progress {
  std::vector<char> active;
  std::vector<double> smallest;
  std::vector<int> since;
  explicit Progress(std::size_t width)
      : active(width, 1), smallest(width, std::numeric_limits<double>::infinity()), since(width, 0) {}

  // Whether any column is left after a sweep with these changes.
  template <class Change>
  bool still_active(const Change& change, double tolerance) {
    bool any = false;
    for (std::size_t j = 0; j < active.size(); ++j) {
      if (!active[j]) continue;
      if (change.change[j] < smallest[j]) {
        smallest[j] = change.change[j];
        since[j] = 0;
      } else {
        ++since[j];
      }
      if (change.change[j] <= tolerance * change.size[j] || since[j] >= kStalled) active[j] = 0;
      any = any || active[j];
    }
    return any;
  }
};

// c = c - step (c - b) per active column, step = (c - b).(c - 2b + a) / |c - 2b + a|^2 (Irons and Tuck),
// over the coefficients of the dimensions after the first, which determine the first's.
void extrapolate(const Coefficients& a, const Coefficients& b, Coefficients& c, std::size_t width,
                 const std::vector<char>& active) {
  std::vector<double> numerator(width, 0.0), denominator(width, 0.0);
  for (std::size_t d = 1; d < c.size(); ++d) {
    for (std::size_t i = 0; i < c[d].size(); ++i) {
      const double first = c[d][i] - b[d][i];
      const double second = first - (b[d][i] - a[d][i]);
      numerator[i % width] = numerator[i % width] + first * second;
      denominator[i % width] = denominator[i % width] + second * second;
    }
  }
  for (std::size_t d = 1; d < c.size(); ++d) {
    for (std::size_t i = 0; i < c[d].size(); ++i) {
      const std::size_t j = i % width;
      if (active[j] && denominator[j] > 0.0) c[d][i] = c[d][i] - numerator[j] / denominator[j] * (c[d][i] - b[d][i]);
    }
  }
}

}  // namespace

// The largest change of a sweep and the largest coefficient, per column.
struct Projector::Change {
  std::vector<double> change, size;
  explicit Change(std::size_t width) : change(width, 0.0), size(width, 0.0) {}
  void merge(const Change& other) {
    for (std::size_t j = 0; j < change.size(); ++j) {
      change[j] = std::max(change[j], other.change[j]);
      size[j] = std::max(size[j], other.size[j]);
    }
  }
};

CellSums columns_of(const CellSums& sums, std::size_t first, std::size_t count, std::vector<double> weight) {
  CellSums out;
  out.width = count;
  out.weight = std::move(weight);
  out.values.resize(out.weight.size() * count);
  for (std::size_t c = 0; c < out.weight.size(); ++c) {
    std::copy_n(sums.values.data() + c * sums.width + first, count, out.values.data() + c * count);
  }
  return out;
}

Coefficients zero_coefficients(const Layout& layout, std::size_t width) {
  Coefficients a(layout.dimensions());
  for (std::size_t d = 0; d < layout.dimensions(); ++d) a[d].assign(layout.dimension(d).levels() * width, 0.0);
  return a;
}

Projector::Projector(const Layout& layout) : layout_(layout), plans_(layout.dimensions()) {
  const std::size_t D = layout.dimensions();
  for (std::size_t d = 0; d < D; ++d) {
    const Dimension& dim = layout.dimension(d);
    Plan& plan = plans_[d];
    plan.task_start = level_tasks(dim);
    plan.cell.resize(layout.cells());
    plan.other_levels.resize(layout.cells() * (D - 1));
    for (std::size_t p = 0; p < layout.cells(); ++p) {
      const std::size_t c = dim.cell(p);
      plan.cell[p] = static_cast<std::uint32_t>(c);
      std::size_t o = 0;
      for (std::size_t e = 0; e < D; ++e) {
        if (e != d) plan.other_levels[p * (D - 1) + o++] = layout.level(c, e);
      }
    }
  }
}

void Projector::load(const CellSums& sums) {
  sums_ = &sums;
  width_ = sums.width;
  parallel::Lease lease;
  auto load_plan = [&](std::size_t d, std::size_t) {
    Plan& plan = plans_[d];
    const Dimension& dim = layout_.dimension(d);
    if (d > 0) {
      plan.weight.resize(layout_.cells());
      plan.values.resize(layout_.cells() * width_);
      for (std::size_t p = 0; p < layout_.cells(); ++p) {
        const std::size_t c = plan.cell[p];
        plan.weight[p] = sums.weight[c];
        std::copy_n(sums.values.data() + c * width_, width_, plan.values.data() + p * width_);
      }
    }
    const double* weight = d > 0 ? plan.weight.data() : sums.weight.data();
    plan.level_weight.resize(dim.levels());
    for (std::size_t g = 0; g < dim.levels(); ++g) {
      double w = 0.0;
      for (std::size_t p = dim.level_begin[g]; p < dim.level_begin[g + 1]; ++p) w = w + weight[p];
      plan.level_weight[g] = w;
    }
  };
  lease.run(plans_.size(), load_plan);
}

Projector::Change Projector::update(Coefficients& a, std::size_t d, const std::vector<char>& active) {
  const std::size_t m = width_, D = layout_.dimensions();
  const Dimension& dim = layout_.dimension(d);
  const Plan& plan = plans_[d];
  const double* weights = d > 0 ? plan.weight.data() : sums_->weight.data();
  const double* values = d > 0 ? plan.values.data() : sums_->values.data();
  std::vector<const double*> others;
  for (std::size_t e = 0; e < D; ++e) {
    if (e != d) others.push_back(a[e].data());
  }
  std::vector<Change> changes(plan.task_start.size() - 1, Change(m));
  auto task = [&](std::size_t t, std::size_t) {
    std::vector<double> acc(m), other(m);
    for (std::size_t g = plan.task_start[t]; g < plan.task_start[t + 1]; ++g) {
      std::fill(acc.begin(), acc.end(), 0.0);
      for (std::size_t p = dim.level_begin[g]; p < dim.level_begin[g + 1]; ++p) {
        const double w = weights[p];
        const double* v = values + p * m;
        if (D == 1) {
          for (std::size_t j = 0; j < m; ++j) acc[j] = acc[j] + v[j];
          continue;
        }
        const std::uint32_t* levels = plan.other_levels.data() + p * (D - 1);
        const double* o = others[0] + levels[0] * m;
        if (D > 2) {  // the other dimensions' coefficients summed in dimension order
          std::copy_n(o, m, other.data());
          for (std::size_t e = 1; e + 1 < D; ++e) {
            const double* more = others[e] + levels[e] * m;
            for (std::size_t j = 0; j < m; ++j) other[j] = other[j] + more[j];
          }
          o = other.data();
        }
        for (std::size_t j = 0; j < m; ++j) acc[j] = acc[j] + (v[j] - w * o[j]);
      }
      const double w = plan.level_weight[g];
      double* coef = a[d].data() + g * m;
      for (std::size_t j = 0; j < m; ++j) {
        if (!active[j]) continue;
        const double next = w > 0.0 ? acc[j] / w : coef[j];
        changes[t].change[j] = std::max(changes[t].change[j], std::fabs(next - coef[j]));
        changes[t].size[j] = std::max(changes[t].size[j], std::fabs(next));
        coef[j] = next;
      }
    }
  };
  parallel::Lease lease;
  lease.run(changes.size(), task);
  Change total(m);
  for (const Change& c : changes) total.merge(c);
  return total;
}

Projector::Change Projector::sweep(Coefficients& a, const std::vector<char>& active) {
  Change total(width_);
  for (std::size_t d = 0; d < layout_.dimensions(); ++d) {
    Change change = update(a, d, active);
    // The first dimension follows from the others: only their changes tell how far the sweeps are.
    if (d == 0 && layout_.dimensions() > 1) std::fill(change.change.begin(), change.change.end(), 0.0);
    total.merge(change);
  }
  return total;
}

std::size_t Projector::project(const CellSums& sums, Coefficients& a, double tolerance, std::size_t max_sweeps) {
  load(sums);
  Progress progress(sums.width);
  if (layout_.dimensions() == 1) {  // the levels' weighted means, at once
    sweep(a, progress.active);
    return 1;
  }
  before_ = a;
  bool any = progress.still_active(sweep(a, progress.active), tolerance);
  std::size_t sweeps = 1;
  while (any && sweeps < max_sweeps) {
    middle_ = a;
    any = progress.still_active(sweep(a, progress.active), tolerance);
    ++sweeps;
    if (!any) break;
    extrapolate(before_, middle_, a, sums.width, progress.active);
    before_ = a;
    any = progress.still_active(sweep(a, progress.active), tolerance);
    ++sweeps;
  }
  return sweeps;
}

void cell_offsets(const Layout& layout, const Coefficients& a, std::size_t width, std::vector<double>& out) {
  out.assign(layout.cells() * width, 0.0);
  parallel::Lease lease;
  const std::vector<Task>& tasks = layout.tasks();
  auto task = [&](std::size_t t, std::size_t) {
    for (std::size_t c = tasks[t].first_cell; c < tasks[t].end_cell; ++c) {
      double* row = out.data() + c * width;
      for (std::size_t d = 0; d < layout.dimensions(); ++d) {
        const double* coef = a[d].data() + layout.level(c, d) * width;
        for (std::size_t j = 0; j < width; ++j) row[j] = row[j] + coef[j];
      }
    }
  };
  lease.run(tasks.size(), task);
}

}  // namespace quorbis::core::panel
