#include "python/fit/fit_probit.hpp"

#include "core/platform.hpp"
#include "core/probit/fit.hpp"
#include "python/boundary.hpp"
#include "python/fit/arguments.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"
#include "python/results.hpp"
#include "python/unlocked.hpp"

namespace quorbis::python::fit {

PyObject* fit_probit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    FitInputs in = read_arguments(args, nargsf, kwnames);
    core::probit::Fit fit = without_lock([&] { return core::probit::fit(in.problem); });
    if (fit.cov.singular_hessian) core::write_stderr(kHessianSingular.text);
    if (in.cluster_failure) in.cluster_failure->raise();
    // The working copies are never written, so they become the model's arrays.
    const auto rows = static_cast<std::size_t>(in.problem.exog.rows);
    const auto k = static_cast<std::size_t>(in.problem.exog.cols);
    return results_object(fit.optimum, fit.cov.cov, matrix_out(std::move(fit.design), rows, k, Order::column_major),
                          vector_out(std::move(fit.endog)));
  });
}

}  // namespace quorbis::python::fit
