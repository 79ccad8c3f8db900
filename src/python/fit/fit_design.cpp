#include "python/fit/fit_design.hpp"

#include <array>
#include <optional>
#include <string>

#include "core/probit/fit.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"
#include "python/results.hpp"
#include "python/unlocked.hpp"

namespace quorbis::python::fit {
namespace {

using core::probit::Covariance;
using core::probit::FitProblem;

constexpr std::array<const char*, 6> kParams = {"endog", "exog", "max_iter", "tol", "robust", "clusters"};
constexpr Signature kSignature = {"_fit_design", kParams, 5};

struct DesignInputs {
  FitProblem problem;
  PyObject* endog;  // borrowed from the call
  PyObject* exog;
};

// The codes of the one clustering dimension as a view of nobs rows and one column; nothing for none.
std::optional<MatrixView> cluster_codes(PyObject* clusters, std::ptrdiff_t nobs) {
  if (!given(clusters)) return std::nullopt;
  Ref dimensions = checked(PySequence_Fast(clusters, "clusters must be a sequence of arrays"));
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(dimensions.get());
  if (count == 0) return std::nullopt;
  if (count > 1) raise(PyExc_ValueError, "_fit_design takes one clustering dimension");
  const VectorView codes = vector_view(as_float64_array(PySequence_Fast_GET_ITEM(dimensions.get(), 0), 1));
  if (codes.size != nobs) {
    raise(PyExc_ValueError,
          format(kClusterRows, {{"rows", std::to_string(codes.size)}, {"nobs", std::to_string(nobs)}}));
  }
  return MatrixView{codes.data, codes.size, 1, codes.stride, static_cast<std::ptrdiff_t>(sizeof(double))};
}

DesignInputs read_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, kParams.size()> slot{};
  bind_arguments(kSignature, args, nargsf, kwnames, slot);
  DesignInputs in{{}, slot[0], slot[1]};
  FitProblem& problem = in.problem;
  problem.endog = vector_view(convert_argument("endog", [&] { return as_float64_array(slot[0], 1); }));
  problem.exog = matrix_view(convert_argument("exog", [&] { return as_float64_array(slot[1], 2); }));
  if (!core::probit::readable_in_place(problem.endog, problem.exog)) {
    raise(PyExc_ValueError, "_fit_design reads its rows in place: endog contiguous, exog column-major with as "
                            "many rows, both aligned");
  }
  problem.max_iter = convert_argument("max_iter", [&] { return to_u64(slot[2]); });
  problem.tol = convert_argument("tol", [&] { return to_double(slot[3]); });
  const bool robust = convert_argument("robust", [&] { return to_bool(slot[4]); });
  const std::optional<MatrixView> codes = cluster_codes(slot[5], problem.endog.size);
  problem.covariance = !robust ? Covariance::classical : codes ? Covariance::clustered : Covariance::robust;
  problem.cluster_values = codes.value_or(MatrixView{});
  problem.newton = true;
  problem.in_place = true;
  problem.largest_index = true;
  return in;
}

}  // namespace

PyObject* fit_design(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    const DesignInputs in = read_arguments(args, nargsf, kwnames);
    core::probit::Fit fit = without_lock([&] { return core::probit::fit(in.problem); });
    Ref largest = checked(PyFloat_FromDouble(fit.optimum.at_optimum->largest_index));
    Ref results = results_object(fit.optimum, fit.cov, Ref::borrow(in.exog), Ref::borrow(in.endog));
    return checked(PyTuple_Pack(2, results.get(), largest.get()));
  });
}

}  // namespace quorbis::python::fit
