// The working copies of a fit's rows: the outcome, and the design column-major, so that the passes run
// down contiguous columns whatever the layout of the caller's arrays. Copies are made on the thread pool.
#pragma once

#include <cstddef>
#include <vector>

#include "core/buffer.hpp"
#include "core/strided.hpp"

namespace quorbis::core::probit {

Buffer copy_vector(const VectorView& v);
Buffer copy_column_major(const MatrixView& x);

// A design matrix put together from columns, column-major: column j a copy of columns[j], or ones where
// columns[j] has no data (the constant); finite[j] tells whether column j holds only finite values.
struct GatheredColumns {
  Buffer design;
  std::vector<bool> finite;
};

GatheredColumns gather_columns(const std::vector<VectorView>& columns, std::size_t rows);

}  // namespace quorbis::core::probit
