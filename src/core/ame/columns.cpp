#include "core/ame/columns.hpp"

#include <algorithm>

#include "core/ame/column_views.hpp"
#include "core/parallel/pool.hpp"

namespace quorbis::core::ame {
namespace {

// Values checked between two exits: a run compares without a branch per value, so it vectorises.
constexpr std::ptrdiff_t kRun = 64;
// Rows per task of the parallel check.
constexpr std::ptrdiff_t kTaskRows = std::ptrdiff_t{1} << 16;

template <class Column>
bool all_zero_or_one(const Column& x, std::ptrdiff_t size) noexcept {
  for (std::ptrdiff_t begin = 0; begin < size; begin += kRun) {
    const std::ptrdiff_t end = std::min(size, begin + kRun);
    bool ok = true;
    for (std::ptrdiff_t i = begin; i < end; ++i) {
      const double v = x[i];
      ok &= (v == 0.0) | (v == 1.0);  // NaN compares unequal to both
    }
    if (!ok) return false;
  }
  return true;
}

bool is_dummy(const core::VectorView& column) noexcept {
  if (column.stride == std::ptrdiff_t{sizeof(double)}) {
    return all_zero_or_one(UnitColumn(column.data, column.stride), column.size);
  }
  return all_zero_or_one(StridedColumn(column.data, column.stride), column.size);
}

}  // namespace

// Each task checks every column over its rows; a column is a dummy when no task finds another value.
std::vector<bool> dummy_columns(const core::MatrixView& exog, const std::vector<bool>& skip) {
  const std::size_t k = skip.size();
  const auto tasks = static_cast<std::size_t>(exog.rows / kTaskRows + 1);
  std::vector<unsigned char> other(tasks * k, 0);
  auto check = [&](std::size_t t, std::size_t) {
    const auto begin = static_cast<std::ptrdiff_t>(t) * kTaskRows;
    const core::MatrixView rows = exog.row_slice(begin, std::min(exog.rows, begin + kTaskRows));
    for (std::size_t j = 0; j < k; ++j) {
      if (!skip[j]) other[t * k + j] = !is_dummy(rows.column(static_cast<std::ptrdiff_t>(j)));
    }
  };
  parallel::Lease().run(tasks, check);
  std::vector<bool> dummy(k);
  for (std::size_t j = 0; j < k; ++j) {
    bool found_other = skip[j];
    for (std::size_t t = 0; t < tasks; ++t) found_other = found_other || other[t * k + j] != 0;
    dummy[j] = !found_other;
  }
  return dummy;
}

ColumnKinds kinds_of(const std::vector<bool>& dummy, const std::vector<bool>& intercept) {
  ColumnKinds kinds;
  for (std::size_t j = 0; j < intercept.size(); ++j) {
    if (!intercept[j]) (dummy[j] ? kinds.dummies : kinds.continuous).push_back(j);
  }
  return kinds;
}

ColumnKinds classify_columns(const core::MatrixView& exog, const std::vector<bool>& intercept) {
  return kinds_of(dummy_columns(exog, intercept), intercept);
}

}  // namespace quorbis::core::ame
