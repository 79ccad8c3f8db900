#include "ame/effects.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "ame/accumulate.hpp"
#include "ame/columns.hpp"
#include "normal/normal.hpp"

namespace quorbis::ame {
namespace {

// Rows per block inside a chunk: a block's columns stay in cache between the passes over them.
constexpr std::uint64_t kBlockRows = 256;

struct Accumulators {
  std::vector<double> effects;   // A: k
  std::vector<double> jacobian;  // G: k x k, row-major
};

// Adds every chunk's terms to A and G, chunks in row order.
Accumulators accumulate(const ProbitFit& fit, const ColumnKinds& kinds, std::uint64_t chunk_size) {
  const auto n = static_cast<std::uint64_t>(fit.exog.rows);
  const auto k = static_cast<std::size_t>(fit.exog.cols);
  Accumulators acc{std::vector<double>(k, 0.0), std::vector<double>(k * k, 0.0)};
  if (n == 0) return acc;
  const std::uint64_t block = std::min({kBlockRows, chunk_size, n});
  ChunkSums sums(fit.params, kinds, k, static_cast<std::size_t>(block));
  for (std::uint64_t start = 0;;) {
    const std::uint64_t left = n - start;
    const std::uint64_t length = std::min(chunk_size, left);
    sums.clear();
    for (std::uint64_t begin = 0; begin < length; begin += block) {
      const std::uint64_t end = std::min(length, begin + block);
      sums.add_block(fit.exog.row_slice(static_cast<std::ptrdiff_t>(start + begin),
                                        static_cast<std::ptrdiff_t>(start + end)));
    }
    sums.add_to(acc.effects, acc.jacobian);
    if (chunk_size >= left) break;
    start += length;
  }
  return acc;
}

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

std::vector<ColumnEffect> average_marginal_effects(const ProbitFit& fit, const std::vector<bool>& intercept,
                                                   std::optional<std::uint64_t> chunk_size) {
  const ColumnKinds kinds = classify_columns(fit.exog, intercept);
  const auto n = static_cast<std::uint64_t>(fit.exog.rows);
  const Accumulators acc = accumulate(fit, kinds, chunk_size.value_or(n));

  const auto k = static_cast<std::size_t>(fit.exog.cols);
  const double count = static_cast<double>(n);  // 0 rows: every effect and Jacobian entry is 0/0
  std::vector<double> jacobian_row(k), row_times_cov(k);
  std::vector<ColumnEffect> out;
  for (std::size_t j = 0; j < k; ++j) {
    if (intercept[j]) continue;
    for (std::size_t l = 0; l < k; ++l) jacobian_row[l] = acc.jacobian[j * k + l] / count;
    const double variance = delta_variance(jacobian_row, fit.cov, row_times_cov);
    ColumnEffect e{j, acc.effects[j] / count, 0.0, 0.0, 0.0};
    // A negative variance is rounding around 0; a NaN one (say from the NaN covariance of a singular
    // Hessian) is unknown, and stays NaN rather than posing as an exact 0.
    e.std_err = std::sqrt(variance < 0.0 ? 0.0 : variance);
    e.z = e.std_err > 0.0 ? e.effect / e.std_err : std::numeric_limits<double>::quiet_NaN();
    const double tail = 1.0 - normal::cdf(std::fabs(e.z));
    e.p_value = tail + tail;
    out.push_back(e);
  }
  return out;
}

}  // namespace quorbis::ame
