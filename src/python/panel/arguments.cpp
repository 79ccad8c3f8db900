#include "python/panel/arguments.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "python/cluster_codes.hpp"
#include "python/convert.hpp"
#include "python/error.hpp"
#include "python/numpy.hpp"

namespace quorbis::python::panel {
namespace {

[[noreturn]] void refuse(const std::string& message) { raise(PyExc_ValueError, message); }

void check_rows(const char* name, std::ptrdiff_t rows, std::ptrdiff_t n) {
  if (rows != n) refuse(std::string(name) + " has " + std::to_string(rows) + " rows, endog " + std::to_string(n));
}

// The codes of the effects, and the number of levels of each dimension (the largest code plus one).
void read_effects(PyObject* obj, std::ptrdiff_t n, core::panel::Problem& problem) {
  if (!PyArray_Check(obj)) refuse("effects must be a 2-D int64 array");
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 2 || PyArray_TYPE(array) != NPY_INT64 || !PyArray_ISCARRAY_RO(array)) {
    refuse("effects must be a C-contiguous 2-D int64 array");
  }
  check_rows("effects", PyArray_DIM(array, 0), n);
  problem.effects = static_cast<const std::int64_t*>(PyArray_DATA(array));
  problem.dimensions = static_cast<std::size_t>(PyArray_DIM(array, 1));
  if (problem.dimensions == 0) refuse("effects must have a column for each dimension, and at least one");
  problem.levels.assign(problem.dimensions, 0);
  for (std::size_t i = 0; i < static_cast<std::size_t>(n) * problem.dimensions; ++i) {
    const std::int64_t code = problem.effects[i];
    if (code < 0 || code >= std::numeric_limits<std::uint32_t>::max()) refuse("effects must hold codes 0, 1, ...");
    std::size_t& levels = problem.levels[i % problem.dimensions];
    levels = std::max(levels, static_cast<std::size_t>(code) + 1);
  }
}

// Cluster numbers 0, 1, ... as float64, one column per clustering dimension, one row per row.
void read_clusters(PyObject* obj, std::ptrdiff_t n, ProblemInputs& in) {
  const MatrixView values = matrix_view(as_float64_array(obj, 2));
  check_rows("cluster_vars", values.rows, n);
  if (values.cols == 0) refuse("cluster_vars must have a column of cluster numbers per dimension");
  check_dimensions(static_cast<std::size_t>(values.cols));
  for (std::ptrdiff_t d = 0; d < values.cols; ++d) {
    in.cluster_dimensions.push_back(cluster_numbers(values.column(d), "cluster_vars"));
  }
  if (values.cols > 1) {
    in.problem.cluster_dimensions = spans_of(in.cluster_dimensions);
    return;
  }
  const std::vector<std::uint32_t>& codes = in.cluster_dimensions.front();
  in.problem.clusters = codes.data();
  in.problem.cluster_count = codes.empty() ? 0 : *std::max_element(codes.begin(), codes.end()) + std::size_t{1};
}

}  // namespace

ProblemInputs read_problem(PyObject* endog, PyObject* exog, PyObject* effects, PyObject* cluster_vars) {
  ProblemInputs in;
  core::panel::Problem& problem = in.problem;
  problem.endog = vector_view(as_float64_array(endog, 1));
  problem.exog = matrix_view(as_exog_argument(exog));
  const std::ptrdiff_t n = problem.endog.size;
  check_rows("exog", problem.exog.rows, n);
  read_effects(effects, n, problem);
  if (given(cluster_vars)) read_clusters(cluster_vars, n, in);
  return in;
}

core::probit::Covariance covariance_kind(bool robust, const ProblemInputs& in) noexcept {
  if (!robust) return core::probit::Covariance::classical;
  return in.cluster_dimensions.empty() ? core::probit::Covariance::robust : core::probit::Covariance::clustered;
}

}  // namespace quorbis::python::panel
