// _fit_design: the fit of the design matrix that probit() builds, which only the result will hold, so
// that it is read in place and kept as the model's exog, not copied; finished with Newton steps to the
// maximum. In, compute, out as fit_probit.
#pragma once

#include <Python.h>

namespace quorbis::python::fit {

// _fit_design(endog, exog, max_iter, tol, robust, clusters=None): endog a contiguous float64 vector of 0
// and 1, exog column-major float64 of as many rows; max_iter, tol and robust as fit_probit takes them;
// clusters None or a sequence of cluster-code vectors, one per clustering dimension (at most one for now).
// Returns a new reference to (results, largest_index): a VaskProbitResults over endog and exog themselves,
// and max_i |x_i.b| at its estimates (NaN when some index is); or null with an exception set.
PyObject* fit_design(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::fit
