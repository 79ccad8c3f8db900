// _fit_fixed_effects(endog, exog, effects, max_iter, tol, robust, cluster_vars, bias_L, small_sample=False):
// a probit with fixed effects, for the Python layer (python/quorbis/_fixed_effects.py), clustered in one
// dimension or several (a column of cluster_vars each; small_sample multiplies each term of a multiway
// covariance by G/(G - 1)). The arguments are read with the lock held, the fit is one call into
// core::panel::fit without it, and the result is a dict: params and cov_params of every column (NaN for
// the omitted ones), loglike, iterations, converged, negative_eigenvalues (those a multiway covariance had
// set to 0), effects (an array per dimension, NaN for the codes without rows), kept (the rows used),
// removed_levels, omitted, and uncorrected (the same for the maximum likelihood fit under a corrected one,
// else None).
#pragma once

#include <Python.h>

namespace quorbis::python::panel {

// Returns a new reference, or null with an exception set.
PyObject* fit_fixed_effects(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::panel
