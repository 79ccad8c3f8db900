// _Optimizer(k, max_iter, tol, robust, clustered): the optimiser of fit_probit as a Python object, for
// a driver that holds the rows elsewhere in blocks. It asks for the sums of a pass (request), takes them
// back (respond) until the fit is done, and then makes the results object (results).
#pragma once

#include "python/ref.hpp"

namespace quorbis::python::blocks {

// The type, created anew. Returns a new reference.
Ref optimizer_type();

}  // namespace quorbis::python::blocks
