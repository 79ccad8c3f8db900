// The arguments of the private entry points behind ProbitResult.ame, margins and predict, read and
// checked with the interpreter lock held. Every index is checked, so that no input reaches the core
// inconsistent.
#pragma once

#include <Python.h>

#include <vector>

#include "core/margins/predict.hpp"
#include "core/margins/problem.hpp"
#include "python/ref.hpp"

namespace quorbis::python::margins {

struct MarginInputs {
  std::vector<Ref> owners;  // the extra columns, which the views read
  core::margins::MarginProblem problem;
};

// _margin_sums(exog, params, extras, scenarios, predictions, derivatives, weights=None): extras a sequence
// of 1-D float64 arrays of exog's rows; each scenario a float64 array of shape (r, 3) whose rows are
// (column, constant, source), source -1 for none; predictions a sequence of scenario indices; each
// derivative a pair (scenario index, entries as a scenario's); weights a 1-D float64 array or None.
MarginInputs read_margin_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// _predict(exog, params, cov=None, z=0.0, linear=False).
core::margins::PredictionProblem read_prediction_arguments(PyObject* const* args, Py_ssize_t nargsf,
                                                           PyObject* kwnames);

}  // namespace quorbis::python::margins
