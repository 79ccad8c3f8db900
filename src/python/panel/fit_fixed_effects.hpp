// _fit_fixed_effects(endog, exog, effects, max_iter, tol, robust, cluster_vars, bias_L): a probit with
// fixed effects, for the Python layer (python/quorbis/_fixed_effects.py). The arguments are read with the
// lock held, the fit is one call into core::panel::fit without it, and the result is a dict: params and
// cov_params of every column (NaN for the omitted ones), loglike, iterations, converged, effects (an
// array per dimension, NaN for the codes without rows), kept (the rows used), removed_levels, omitted, and
// uncorrected (the same for the maximum likelihood fit under a corrected one, else None).
#pragma once

#include <Python.h>

namespace quorbis::python::panel {

// Returns a new reference, or null with an exception set.
PyObject* fit_fixed_effects(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::panel
