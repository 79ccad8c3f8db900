// The working copies of a fit's rows: the outcome, and the design column-major, so that the passes run
// down contiguous columns whatever the layout of the caller's arrays. Copies are made on the thread pool.
#pragma once

#include "core/buffer.hpp"
#include "core/strided.hpp"

namespace quorbis::core::probit {

Buffer copy_vector(const VectorView& v);
Buffer copy_column_major(const MatrixView& x);

}  // namespace quorbis::core::probit
