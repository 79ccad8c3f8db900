#include "python/fit/arguments.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"

namespace quorbis::python::fit {
namespace {

using core::probit::Covariance;

constexpr std::array<const char*, 6> kParams = {"endog_py", "exog_py", "max_iter", "tol", "robust", "cluster_vars"};
constexpr Signature kSignature = {"fit_probit", kParams, 2};

[[noreturn]] void not_one_column(std::uint64_t n, std::uint64_t c) {
  raise(PyExc_ValueError, format(kEndogColumns, {{"rows", std::to_string(n)}, {"cols", std::to_string(c)}}));
}

// The outcome vector that endog's shape calls for: a 1-D array, or column 0 of an (n, 1) array.
VectorView outcome_view(PyObject* endog) {
  Ref shape = checked(PyObject_GetAttrString(endog, "shape"));
  if (!PyTuple_Check(shape.get())) {
    raise(PyExc_TypeError, format(kCannotConvert, {{"type", type_qualname(shape.get())}, {"target", "PyTuple"}}));
  }
  const Py_ssize_t ndim = PyTuple_GET_SIZE(shape.get());
  if (ndim != 1 && ndim != 2) raise(PyExc_ValueError, format(kEndogDimensions, {{"ndim", std::to_string(ndim)}}));
  const std::uint64_t n = to_u64(PyTuple_GET_ITEM(shape.get(), 0));
  if (ndim == 1) return vector_view(as_float64_array(endog, 1));
  const std::uint64_t c = to_u64(PyTuple_GET_ITEM(shape.get(), 1));
  if (c != 1) not_one_column(n, c);
  // A subclass may report a shape of its own; only the array's real column count makes column 0 safe to read.
  PyArrayObject* array = as_float64_array(endog, 2);
  if (PyArray_DIM(array, 1) != 1) not_one_column(PyArray_DIM(array, 0), PyArray_DIM(array, 1));
  return matrix_view(array).column(0);
}

// The cluster variables as a view of nobs rows, or the error that says why they are not.
std::optional<DeferredError> check_clusters(PyObject* cluster_vars, std::size_t nobs, MatrixView& values) {
  try {
    values = matrix_view(as_float64_array(cluster_vars, 2));
    if (static_cast<std::size_t>(values.rows) != nobs) {
      raise(PyExc_ValueError,
            format(kClusterRows, {{"rows", std::to_string(values.rows)}, {"nobs", std::to_string(nobs)}}));
    }
  } catch (Error& error) {
    return DeferredError(std::move(error));
  }
  return std::nullopt;
}

}  // namespace

FitInputs read_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, kParams.size()> slot{};
  bind_arguments(kSignature, args, nargsf, kwnames, slot);
  const MatrixView exog = matrix_view(convert_argument("exog_py", [&] { return as_exog_argument(slot[1]); }));
  FitInputs in;
  core::probit::FitProblem& problem = in.problem;
  problem.max_iter = optional_argument<std::uint64_t>(slot[2], "max_iter", to_u64).value_or(problem.max_iter);
  problem.tol = optional_argument<double>(slot[3], "tol", to_double).value_or(problem.tol);
  const bool robust = optional_argument<bool>(slot[4], "robust", to_bool).value_or(false);
  problem.endog = outcome_view(slot[0]);
  if (exog.rows < problem.endog.size) {
    raise(PyExc_ValueError,
          format(kExogRows, {{"rows", std::to_string(exog.rows)}, {"nobs", std::to_string(problem.endog.size)}}));
  }
  problem.exog = exog;
  if (!robust) return in;
  problem.covariance = Covariance::robust;
  if (given(slot[5])) {
    const auto nobs = static_cast<std::size_t>(problem.endog.size);
    in.cluster_failure = check_clusters(slot[5], nobs, problem.cluster_values);
    problem.covariance = in.cluster_failure ? Covariance::classical : Covariance::clustered;
  }
  return in;
}

}  // namespace quorbis::python::fit
