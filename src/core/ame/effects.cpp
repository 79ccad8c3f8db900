#include "core/ame/effects.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/ame/accumulate.hpp"
#include "core/ame/columns.hpp"
#include "core/normal/normal.hpp"
#include "core/parallel/reduce.hpp"

namespace quorbis::core::ame {
namespace {

// Rows per block inside a chunk: a block's columns stay in cache between the passes over them.
constexpr std::uint64_t kBlockRows = 256;
// Blocks per task, the unit of parallel work.
constexpr std::uint64_t kTaskBlocks = 16;

struct Task {
  std::uint64_t begin, end;  // rows
  bool ends_chunk;
};

// Each chunk's rows in runs of kTaskBlocks blocks: a partition fixed by n and the chunk size alone.
class Tasks {
 public:
  Tasks(std::uint64_t n, std::uint64_t chunk_size, std::uint64_t block)
      : n_(n), chunk_(std::min(chunk_size, n)), rows_(block * kTaskBlocks), per_chunk_(ceil_div(chunk_, rows_)) {}

  std::uint64_t count() const noexcept {
    const std::uint64_t chunks = ceil_div(n_, chunk_);
    return (chunks - 1) * per_chunk_ + ceil_div(n_ - (chunks - 1) * chunk_, rows_);
  }
  Task operator[](std::uint64_t t) const noexcept {
    const std::uint64_t chunk_begin = t / per_chunk_ * chunk_;
    const std::uint64_t chunk_end = std::min(n_, chunk_begin + chunk_);
    const std::uint64_t begin = chunk_begin + t % per_chunk_ * rows_;
    const std::uint64_t end = std::min(chunk_end, begin + rows_);
    return {begin, end, end == chunk_end};
  }

 private:
  static std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) noexcept { return a / b + (a % b != 0); }

  std::uint64_t n_, chunk_, rows_, per_chunk_;
};

// (J V J')_jj for the row j of J given: (J V) formed first, each sum in index order from 0.0.
double delta_variance(const std::vector<double>& jacobian_row, const core::MatrixView& cov,
                      std::vector<double>& row_times_cov) {
  std::fill(row_times_cov.begin(), row_times_cov.end(), 0.0);
  for (std::size_t l = 0; l < jacobian_row.size(); ++l) {
    const double a = jacobian_row[l];
    for (std::size_t m = 0; m < row_times_cov.size(); ++m) {
      row_times_cov[m] = row_times_cov[m] + a * cov(static_cast<std::ptrdiff_t>(l), static_cast<std::ptrdiff_t>(m));
    }
  }
  double s = 0.0;
  for (std::size_t m = 0; m < row_times_cov.size(); ++m) s = s + row_times_cov[m] * jacobian_row[m];
  return s;
}

}  // namespace

// Adds every chunk's terms to A and G, chunks in row order. The tasks of a chunk sum their rows apart,
// in parallel, and their sums are added in row order before the chunk's terms are formed.
EffectSums effect_sums(const core::MatrixView& exog, const core::VectorView& params, const ColumnKinds& kinds,
                       std::uint64_t chunk_size) {
  const auto n = static_cast<std::uint64_t>(exog.rows);
  const auto k = static_cast<std::size_t>(exog.cols);
  EffectSums acc{std::vector<double>(k, 0.0), std::vector<double>(k * k, 0.0)};
  if (n == 0) return acc;
  const std::uint64_t block = std::min({kBlockRows, chunk_size, n});
  const Tasks tasks(n, chunk_size, block);
  ChunkSums chunk(params, kinds, k, static_cast<std::size_t>(block));
  parallel::Lease lease;
  std::vector<ChunkSums> slots(parallel::window(lease, tasks.count()), chunk);
  auto add_rows = [&](std::size_t t, ChunkSums& part, std::size_t) {
    const Task task = tasks[t];
    part.clear();
    for (std::uint64_t begin = task.begin; begin < task.end; begin += block) {
      part.add_block(exog.row_slice(static_cast<std::ptrdiff_t>(begin),
                                        static_cast<std::ptrdiff_t>(std::min(task.end, begin + block))));
    }
  };
  auto fold = [&](std::size_t t, const ChunkSums& part) {
    chunk.add(part);
    if (!tasks[t].ends_chunk) return;
    chunk.add_to(acc.effects, acc.jacobian);
    chunk.clear();
  };
  parallel::ordered_reduce(lease, static_cast<std::size_t>(tasks.count()), slots, add_rows, fold);
  return acc;
}

std::vector<ColumnEffect> effects_from_sums(const EffectSums& acc, std::uint64_t n, const core::MatrixView& cov,
                                            const std::vector<bool>& intercept) {
  const std::size_t k = intercept.size();
  const double count = static_cast<double>(n);  // 0 rows: every effect and Jacobian entry is 0/0
  std::vector<double> jacobian_row(k), row_times_cov(k);
  std::vector<ColumnEffect> out;
  for (std::size_t j = 0; j < k; ++j) {
    if (intercept[j]) continue;
    for (std::size_t l = 0; l < k; ++l) jacobian_row[l] = acc.jacobian[j * k + l] / count;
    out.push_back(column_effect(j, acc.effects[j] / count, delta_variance(jacobian_row, cov, row_times_cov)));
  }
  return out;
}

ColumnEffect column_effect(std::size_t column, double effect, double variance) noexcept {
  ColumnEffect e{column, effect, 0.0, 0.0, 0.0};
  // A negative variance is rounding around 0; a NaN one (say from the NaN covariance of a singular
  // Hessian) is unknown, and stays NaN rather than posing as an exact 0.
  e.std_err = std::sqrt(variance < 0.0 ? 0.0 : variance);
  e.z = e.std_err > 0.0 ? e.effect / e.std_err : std::numeric_limits<double>::quiet_NaN();
  // 2 (1 - Phi(|z|)) without the subtraction, which would round p-values below 1e-16 to 0.
  e.p_value = normal::erfc(std::fabs(e.z) / normal::kSqrt2);
  return e;
}

std::vector<ColumnEffect> average_marginal_effects(const ProbitFit& fit, const std::vector<bool>& intercept,
                                                   std::optional<std::uint64_t> chunk_size) {
  const ColumnKinds kinds = classify_columns(fit.exog, intercept);
  const auto n = static_cast<std::uint64_t>(fit.exog.rows);
  return effects_from_sums(effect_sums(fit.exog, fit.params, kinds, chunk_size.value_or(n)), n, fit.cov, intercept);
}

}  // namespace quorbis::core::ame
