// The weights of a fit's rows, as the private entry points take them from the Python layer, which has
// checked them already: a float64 vector of one finite weight of at least 0 per row, whole numbers for
// frequency weights. Read with the interpreter lock held and copied, so that the passes read them in order.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/buffer.hpp"

namespace quorbis::python {

// ValueError for another length or a weight out of bounds.
core::Buffer read_weights(PyObject* obj, std::ptrdiff_t nobs, bool frequency);

}  // namespace quorbis::python
