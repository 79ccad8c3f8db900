// The arguments of the private entry points for fixed effects, read and checked with the interpreter lock
// held: views of the arrays (the outcome, the slopes' columns, the levels of the effects, cluster ids) for
// one call into the core.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "core/panel/problem.hpp"
#include "core/probit/covariance.hpp"

namespace quorbis::python::panel {

// A problem's views and the storage they point into.
struct ProblemInputs {
  core::panel::Problem problem;
  std::vector<std::vector<std::uint32_t>> cluster_dimensions;
};

// endog: (n,) float64; exog: (n, k) float64; effects: (n, dimensions) C-contiguous int64 codes from 0;
// cluster_vars: None, or (n, dimensions) float64 cluster numbers 0, 1, ... as the Python layer makes them,
// one column per clustering dimension (two or more: multiway).
ProblemInputs read_problem(PyObject* endog, PyObject* exog, PyObject* effects, PyObject* cluster_vars);

// classical unless robust; clustered when cluster ids were given.
core::probit::Covariance covariance_kind(bool robust, const ProblemInputs& in) noexcept;

}  // namespace quorbis::python::panel
