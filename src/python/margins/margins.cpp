#include "python/margins/margins.hpp"

#include <algorithm>

#include "core/margins/margins.hpp"
#include "python/boundary.hpp"
#include "python/margins/inputs.hpp"
#include "python/numpy.hpp"
#include "python/unlocked.hpp"

namespace quorbis::python::margins {
namespace {

Ref vector_of(const std::vector<double>& values) {
  Buffer buffer(values.size());
  std::copy(values.begin(), values.end(), buffer.data());
  return vector_out(std::move(buffer));
}

}  // namespace

PyObject* margin_sums(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    const MarginInputs in = read_margin_arguments(args, nargsf, kwnames);
    const core::margins::MarginSums sums = without_lock([&] { return core::margins::margin_sums(in.problem); });
    const auto k = static_cast<std::size_t>(in.problem.exog.cols);
    Buffer jacobian = Buffer::matrix(sums.values.size(), k);
    std::copy(sums.jacobian.begin(), sums.jacobian.end(), jacobian.data());
    Ref values = vector_of(sums.values);
    Ref g = matrix_out(std::move(jacobian), sums.values.size(), k, Order::row_major);
    Ref weight = checked(PyFloat_FromDouble(sums.weight));
    return checked(PyTuple_Pack(3, values.get(), g.get(), weight.get()));
  });
}

PyObject* predict(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    const core::margins::PredictionProblem problem = read_prediction_arguments(args, nargsf, kwnames);
    const auto n = static_cast<std::size_t>(problem.exog.rows);
    const std::size_t columns = problem.cov ? 4 : 1;
    Buffer out = Buffer::matrix(n, columns);
    without_lock([&] { core::margins::predict(problem, out.data()); });
    if (columns == 1) return vector_out(std::move(out));
    return matrix_out(std::move(out), n, columns, Order::column_major);
  });
}

}  // namespace quorbis::python::margins
