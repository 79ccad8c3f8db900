// Which regressors get a discrete-change effect and which a derivative effect.
#pragma once

#include <cstddef>
#include <vector>

#include "core/strided.hpp"

namespace quorbis::core::ame {

// Column indices in ascending order; intercept columns are in neither list.
struct ColumnKinds {
  std::vector<std::size_t> dummies;
  std::vector<std::size_t> continuous;
};

// Whether each column is a dummy: every one of its values equals 0.0 or 1.0 (an empty column qualifies).
// Columns with skip[j] set are not read and count as no dummy. Runs on the thread pool.
std::vector<bool> dummy_columns(const core::MatrixView& exog, const std::vector<bool>& skip);

// The kinds of the columns that are no intercept, from their dummy flags.
ColumnKinds kinds_of(const std::vector<bool>& dummy, const std::vector<bool>& intercept);

ColumnKinds classify_columns(const core::MatrixView& exog, const std::vector<bool>& intercept);

}  // namespace quorbis::core::ame
