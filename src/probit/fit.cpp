#include "probit/fit.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "lib/convert.hpp"
#include "lib/error.hpp"
#include "lib/unlocked.hpp"
#include "parallel/pool.hpp"
#include "probit/clusters.hpp"
#include "probit/covariance.hpp"
#include "probit/optimizer.hpp"
#include "probit/probit.hpp"
#include "probit/row_tile.hpp"

namespace quorbis::probit {
namespace {

using lib::Buffer;
using lib::Ref;

constexpr std::uint64_t kDefaultMaxIter = 35;
constexpr double kDefaultTol = 1e-06;
constexpr const char* kShapeMessage = "endog must be shape (nobs,) or (nobs,1). ";

[[noreturn]] void not_one_column(std::uint64_t n, std::uint64_t c) {
  lib::raise(PyExc_ValueError,
             lib::cat({kShapeMessage, "got=(", std::to_string(n), ",Some(", std::to_string(c), "))"}));
}

// The outcome vector that endog's shape calls for: a 1-D array, or column 0 of an (n, 1) array.
lib::VectorView outcome_view(PyObject* endog) {
  Ref shape = lib::checked(PyObject_GetAttrString(endog, "shape"));
  if (!PyTuple_Check(shape.get())) {
    lib::raise(PyExc_TypeError,
               lib::cat({"'", lib::type_qualname(shape.get()), "' object cannot be converted to 'PyTuple'"}));
  }
  const Py_ssize_t ndim = PyTuple_GET_SIZE(shape.get());
  if (ndim != 1 && ndim != 2) {
    lib::raise(PyExc_ValueError, lib::cat({kShapeMessage, "got ndim=", std::to_string(ndim)}));
  }
  const std::uint64_t n = lib::to_u64(PyTuple_GET_ITEM(shape.get(), 0));
  if (ndim == 1) return lib::vector_view(lib::as_float64_array(endog, 1));
  const std::uint64_t c = lib::to_u64(PyTuple_GET_ITEM(shape.get(), 1));
  if (c != 1) not_one_column(n, c);
  // A subclass may report a shape of its own; only the array's real column count makes column 0 safe to read.
  PyArrayObject* array = lib::as_float64_array(endog, 2);
  if (PyArray_DIM(array, 1) != 1) not_one_column(PyArray_DIM(array, 0), PyArray_DIM(array, 1));
  return lib::matrix_view(array).column(0);
}

}  // namespace

Buffer copy_vector(const lib::VectorView& v) {
  Buffer out(static_cast<std::size_t>(v.size));
  for (std::ptrdiff_t i = 0; i < v.size; ++i) out[static_cast<std::size_t>(i)] = v[i];
  return out;
}

namespace {

// Rows [begin, end) of x into the column-major copy out.
void copy_rows(const lib::MatrixView& x, std::ptrdiff_t begin, std::ptrdiff_t end, double* out) {
  const bool aligned = reinterpret_cast<std::uintptr_t>(x.data) % alignof(double) == 0;
  if (aligned && x.row_stride == sizeof(double)) {  // columns contiguous: one run per column
    for (std::ptrdiff_t j = 0; j < x.cols; ++j) {
      std::memcpy(out + j * x.rows + begin, x.data + j * x.col_stride + begin * x.row_stride,
                  static_cast<std::size_t>(end - begin) * sizeof(double));
    }
    return;
  }
  if (aligned && x.col_stride == sizeof(double) && x.row_stride == x.cols * x.col_stride) {
    transpose(reinterpret_cast<const double*>(x.data) + begin * x.cols, static_cast<std::size_t>(x.cols),
              static_cast<std::size_t>(end - begin), static_cast<std::size_t>(x.cols), out + begin,
              static_cast<std::size_t>(x.rows));
    return;
  }
  constexpr std::ptrdiff_t kRows = 64;  // rows per tile, so each source row is read once
  for (std::ptrdiff_t first = begin; first < end; first += kRows) {
    const std::ptrdiff_t last = std::min(end, first + kRows);
    for (std::ptrdiff_t j = 0; j < x.cols; ++j) {
      double* column = out + j * x.rows;
      for (std::ptrdiff_t i = first; i < last; ++i) column[i] = x(i, j);
    }
  }
}

}  // namespace

Buffer copy_column_major(const lib::MatrixView& x) {
  Buffer out = Buffer::matrix(static_cast<std::size_t>(x.rows), static_cast<std::size_t>(x.cols));
  constexpr std::ptrdiff_t kTaskRows = 8192;
  parallel::Lease lease;
  auto copy_task = [&](std::size_t task, std::size_t) {
    const auto begin = static_cast<std::ptrdiff_t>(task) * kTaskRows;
    copy_rows(x, begin, std::min(x.rows, begin + kTaskRows), out.data());
  };
  lease.run(static_cast<std::size_t>((x.rows + kTaskRows - 1) / kTaskRows), copy_task);
  return out;
}

namespace {

Buffer copy_values(const std::vector<double>& values) {
  Buffer out(values.size());
  std::copy(values.begin(), values.end(), out.data());
  return out;
}

// The cluster variables of a cluster-robust fit, grouped before the fit so that the optimiser can take
// the cluster meat from the pass of its last step. A failed check is kept and raised after the classical
// covariance, the point at which a fit reports bad cluster variables.
struct ClusterCheck {
  std::optional<Clusters> clusters;
  std::optional<lib::DeferredError> failure;
};

Clusters grouped_clusters(PyObject* cluster_vars, std::size_t nobs) {
  const lib::MatrixView values = lib::matrix_view(lib::as_float64_array(cluster_vars, 2));
  if (static_cast<std::size_t>(values.rows) != nobs) {
    lib::raise(PyExc_ValueError, lib::cat({"cluster mismatch: got ", std::to_string(values.rows),
                                           " rows, nobs=", std::to_string(nobs)}));
  }
  return combine_cluster_keys(values);
}

ClusterCheck check_clusters(const FitArguments& arguments, std::size_t nobs) {
  ClusterCheck check;
  if (!arguments.robust || arguments.cluster_vars == nullptr) return check;
  try {
    check.clusters = grouped_clusters(arguments.cluster_vars, nobs);
  } catch (lib::Error& error) {
    check.failure.emplace(std::move(error));
  }
  return check;
}

// What the covariance needs at the estimates from a pass over the observations: the Hessian, and the
// meat of the robust sandwich, plain or clustered.
Wants covariance_wants(const FitArguments& arguments, const ClusterCheck& check) {
  return {.hessian = true,
          .score_outer_sum = arguments.robust && arguments.cluster_vars == nullptr,
          .clusters = check.clusters ? &*check.clusters : nullptr};
}

std::vector<std::string> default_names(std::size_t k) {
  std::vector<std::string> names;
  names.reserve(k);
  for (std::size_t j = 0; j < k; ++j) names.push_back(lib::cat({"x", std::to_string(j)}));
  return names;
}

}  // namespace

lib::ResultsRecord results_record(const Optimum& optimum, const Matrix& cov, Ref exog, Ref endog) {
  const std::size_t k = optimum.params.size();
  lib::ResultsRecord results;
  results.params = lib::vector_out(copy_values(optimum.params));
  results.cov_params = lib::matrix_out(copy_values(cov.values()), k, k, lib::Order::row_major);
  results.model.exog = std::move(exog);
  results.model.endog = std::move(endog);
  results.model.exog_names = default_names(k);
  results.loglike = optimum.loglike;
  results.iterations = optimum.iterations;
  results.converged = optimum.converged;
  return results;
}

lib::ResultsRecord fit_probit(const FitArguments& arguments) {
  const lib::VectorView outcome = outcome_view(arguments.endog);
  const lib::MatrixView exog = lib::matrix_view(arguments.exog);
  if (exog.rows < outcome.size) {
    lib::raise(PyExc_ValueError, lib::cat({"exog has ", std::to_string(exog.rows), " rows, fewer than nobs=",
                                           std::to_string(outcome.size)}));
  }
  const auto nobs = static_cast<std::size_t>(outcome.size);
  const auto rows = static_cast<std::size_t>(exog.rows);
  const auto k = static_cast<std::size_t>(exog.cols);

  ClusterCheck clusters = check_clusters(arguments, nobs);
  const Wants wants = covariance_wants(arguments, clusters);
  // The working copies are never written, so they become the model's arrays.
  Buffer endog, design;
  Optimum optimum;
  const Matrix cov = lib::without_lock([&] {
    endog = copy_vector(outcome);
    design = copy_column_major(exog);
    const Probit probit(endog.data(), nobs, Design{design.data(), rows, k});
    optimum = fit_bfgs(probit, arguments.max_iter.value_or(kDefaultMaxIter), arguments.tol.value_or(kDefaultTol),
                       wants);
    return estimate_covariance(*optimum.at_optimum, wants, arguments.robust && !clusters.failure);
  });
  if (arguments.robust && clusters.failure) clusters.failure->raise();

  return results_record(optimum, cov, lib::matrix_out(std::move(design), rows, k, lib::Order::column_major),
                        lib::vector_out(std::move(endog)));
}

}  // namespace quorbis::probit
