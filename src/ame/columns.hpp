// Which regressors get a discrete-change effect and which a derivative effect.
#pragma once

#include <cstddef>
#include <vector>

#include "core/strided.hpp"

namespace quorbis::ame {

// Column indices in ascending order; intercept columns are in neither list.
struct ColumnKinds {
  std::vector<std::size_t> dummies;
  std::vector<std::size_t> continuous;
};

// A column is a dummy when every one of its values equals 0.0 or 1.0 (an empty column qualifies).
bool is_dummy(const core::VectorView& column) noexcept;

ColumnKinds classify_columns(const core::MatrixView& exog, const std::vector<bool>& intercept);

}  // namespace quorbis::ame
