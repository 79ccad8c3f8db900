#include "ame/columns.hpp"

namespace quorbis::ame {

bool is_dummy(const core::VectorView& column) noexcept {
  for (std::ptrdiff_t i = 0; i < column.size; ++i) {
    const double v = column[i];
    if (!(v == 0.0 || v == 1.0)) return false;  // NaN compares unequal to both
  }
  return true;
}

ColumnKinds classify_columns(const core::MatrixView& exog, const std::vector<bool>& intercept) {
  ColumnKinds kinds;
  for (std::size_t j = 0; j < intercept.size(); ++j) {
    if (intercept[j]) continue;
    const bool dummy = is_dummy(exog.column(static_cast<std::ptrdiff_t>(j)));
    (dummy ? kinds.dummies : kinds.continuous).push_back(j);
  }
  return kinds;
}

}  // namespace quorbis::ame
