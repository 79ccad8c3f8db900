// The weights of a fit's rows, as the private entry points take them from the Python layer, which has
// checked them already: a float64 vector of one finite weight of at least 0 per row, whole numbers for
// frequency weights. Read with the interpreter lock held; the passes read them in place when they are
// contiguous and aligned, else from a copy.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/buffer.hpp"

namespace quorbis::python {

struct RowWeightsInput {
  core::Buffer copy;             // empty when the weights are read in place
  const double* data = nullptr;  // nobs weights, in the caller's array or in copy
};

// ValueError for another length or a weight out of bounds. The caller's array must outlive the result.
RowWeightsInput read_weights(PyObject* obj, std::ptrdiff_t nobs, bool frequency);

}  // namespace quorbis::python
