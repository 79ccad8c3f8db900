// _fit_design: the fit of the design matrix that probit() builds, which only the result will hold, so
// that it is read in place and kept as the model's exog, not copied; finished with Newton steps to the
// maximum. In, compute, out as fit_probit.
#pragma once

#include <Python.h>

namespace quorbis::python::fit {

// _fit_design(endog, exog, max_iter, tol, robust, clusters=None, weights=None, frequency=False,
// small_sample=False): endog a contiguous float64 vector of 0 and 1, exog column-major float64 of as many
// rows; max_iter, tol and robust as fit_probit takes them; clusters None or a sequence of cluster-code
// vectors, one per clustering dimension (two or more: multiway, the codes numbered 0, 1, ...); weights
// None or one weight per row, frequency weights with frequency, else probability weights (which refuse
// the classical covariance); small_sample multiplies each term of a multiway covariance by G/(G - 1).
// Returns a new reference to (results, largest_index, negative_eigenvalues): a VaskProbitResults over
// endog and exog themselves, max_i |x_i.b| at its estimates (NaN when some index is), and the number of
// negative eigenvalues a multiway covariance had set to 0; or null with an exception set.
PyObject* fit_design(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::fit
