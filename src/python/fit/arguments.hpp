// The arguments of fit_probit, read and checked with the interpreter lock held: the views of the arrays
// and the settings of the fit, for one call into the core.
#pragma once

#include <Python.h>

#include <optional>

#include "core/probit/fit.hpp"
#include "python/error.hpp"

namespace quorbis::python::fit {

struct FitInputs {
  core::probit::FitProblem problem;
  // A bad cluster_vars is raised after the fit, which meanwhile takes the classical covariance: the
  // point at which fit_probit has always reported it.
  std::optional<DeferredError> cluster_failure;
};

// fit_probit(endog_py, exog_py, max_iter=None, tol=None, robust=None, cluster_vars=None): the first
// failure ends the reading, except that of the cluster variables.
FitInputs read_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quorbis::python::fit
