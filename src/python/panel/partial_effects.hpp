// _fixed_effects_ame(fit, population): the average partial effects of a fit with fixed effects as the
// table of ame. fit holds endog, exog, effects (the codes) and clusters of the rows used, effect_values
// (an array per dimension, by code), params, robust, bias_correction (None or the bandwidth L), factor
// (the small-sample factor of the covariance), small_sample (each term of a multiway clustering times
// G/(G - 1)) and names; the standard errors are those of
// core::panel::average_partial_effects, the estimation part times factor, plus the sampling part when
// population is true.
#pragma once

#include <Python.h>

namespace quorbis::python::panel {

// Returns a new reference, or null with an exception set.
PyObject* fixed_effects_ame(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quorbis::python::panel
