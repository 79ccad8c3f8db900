#include "python/fit/fit_design.hpp"

#include <array>
#include <string>
#include <vector>

#include "core/probit/fit.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/cluster_codes.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"
#include "python/results.hpp"
#include "python/row_weights.hpp"
#include "python/unlocked.hpp"

namespace quorbis::python::fit {
namespace {

using core::probit::Covariance;
using core::probit::FitProblem;

constexpr std::array<const char*, 9> kParams = {"endog",   "exog",      "max_iter",     "tol",         "robust",
                                                "clusters", "weights", "frequency", "small_sample"};
constexpr Signature kSignature = {"_fit_design", kParams, 5};

struct DesignInputs {
  FitProblem problem;
  PyObject* endog;  // borrowed from the call
  PyObject* exog;
  Ref clusters;  // the sequence of the clusters' arrays, which a one-dimensional view reads in place
  std::vector<std::vector<std::uint32_t>> cluster_dimensions;  // of two dimensions or more
  RowWeightsInput weights;
};

VectorView codes_of(PyObject* dimension, std::ptrdiff_t nobs) {
  const VectorView codes = vector_view(as_float64_array(dimension, 1));
  if (codes.size != nobs) {
    raise(PyExc_ValueError,
          format(kClusterRows, {{"rows", std::to_string(codes.size)}, {"nobs", std::to_string(nobs)}}));
  }
  return codes;
}

// The codes of each clustering dimension: one dimension as a view of nobs rows and one column, grouped as
// fit_probit groups its cluster variables; two or more as the cluster numbers the Python layer makes.
// False for no clustering.
bool read_clusters(PyObject* clusters, DesignInputs& in) {
  if (!given(clusters)) return false;
  in.clusters = checked(PySequence_Fast(clusters, "clusters must be a sequence of arrays"));
  PyObject* dimensions = in.clusters.get();
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(dimensions);
  const std::ptrdiff_t nobs = in.problem.endog.size;
  check_dimensions(static_cast<std::size_t>(count));
  if (count == 1) {
    const VectorView codes = codes_of(PySequence_Fast_GET_ITEM(dimensions, 0), nobs);
    in.problem.cluster_values = {codes.data, codes.size, 1, codes.stride, static_cast<std::ptrdiff_t>(sizeof(double))};
  }
  for (Py_ssize_t d = 0; count > 1 && d < count; ++d) {
    const VectorView codes = codes_of(PySequence_Fast_GET_ITEM(dimensions, d), nobs);
    in.cluster_dimensions.push_back(cluster_numbers(codes, "clusters"));
  }
  in.problem.cluster_dimensions = spans_of(in.cluster_dimensions);
  return count > 0;
}

void read_weights(PyObject* weights, PyObject* frequency, DesignInputs& in) {
  if (!given(weights)) return;
  const bool counts = given(frequency) && convert_argument("frequency", [&] { return to_bool(frequency); });
  in.weights = python::read_weights(weights, in.problem.endog.size, counts);
  in.problem.weights = {in.weights.data, counts ? core::probit::Weighting::frequency
                                                : core::probit::Weighting::probability};
}

void read_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, DesignInputs& in) {
  std::array<PyObject*, kParams.size()> slot{};
  bind_arguments(kSignature, args, nargsf, kwnames, slot);
  in.endog = slot[0];
  in.exog = slot[1];
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
  const bool clustered = read_clusters(slot[5], in);
  read_weights(slot[6], slot[7], in);
  if (!robust && in.problem.weights.values != nullptr &&
      in.problem.weights.kind == core::probit::Weighting::probability) {
    raise(PyExc_ValueError, kProbabilityClassical.text);
  }
  problem.covariance = !robust ? Covariance::classical : clustered ? Covariance::clustered : Covariance::robust;
  problem.small_sample = given(slot[8]) && convert_argument("small_sample", [&] { return to_bool(slot[8]); });
  problem.newton = true;
  problem.in_place = true;
  problem.largest_index = true;
}

}  // namespace

PyObject* fit_design(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    DesignInputs in;
    read_arguments(args, nargsf, kwnames, in);
    core::probit::Fit fit = without_lock([&] { return core::probit::fit(in.problem); });
    Ref largest = checked(PyFloat_FromDouble(fit.optimum.at_optimum->largest_index));
    Ref negative = checked(PyLong_FromSize_t(fit.cov.negative_eigenvalues));
    Ref results = results_object(fit.optimum, fit.cov.cov, Ref::borrow(in.exog), Ref::borrow(in.endog));
    return checked(PyTuple_Pack(3, results.get(), largest.get(), negative.get()));
  });
}

}  // namespace quorbis::python::fit
