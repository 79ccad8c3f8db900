#include "python/blocks/optimizer.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "core/probit/covariance.hpp"
#include "core/probit/multiway.hpp"
#include "core/probit/optimizer.hpp"
#include "python/binding.hpp"
#include "python/blocks/sums.hpp"
#include "python/boundary.hpp"
#include "python/cluster_codes.hpp"
#include "python/convert.hpp"
#include "python/numpy.hpp"
#include "python/results.hpp"

namespace quorbis::python::blocks {
namespace {

namespace probit = core::probit;
using probit::Evaluation;
using probit::Matrix;
using probit::Vector;
using probit::Wants;

struct OptimizerObject {
  PyObject_HEAD
  std::optional<probit::Optimizer> optimizer;
  probit::Covariance covariance;
  bool multiway;
  bool small_sample;
  // For a multiway covariance: the terms of the cells of the last cluster sums, and what results() made
  // of them.
  std::optional<probit::Clusters> cells;
  std::size_t negative_eigenvalues;
  bool singular_hessian;
};

OptimizerObject* as_optimizer(PyObject* self) { return reinterpret_cast<OptimizerObject*>(self); }

constexpr std::array<const char*, 8> kOptimizerParams = {"k",         "max_iter", "tol",      "robust",
                                                         "clustered", "newton",   "multiway", "small_sample"};
constexpr Signature kOptimizerSignature = {"_Optimizer", kOptimizerParams, 5};

bool flag_argument(PyObject* value) { return given(value) && to_bool(value); }

// _Optimizer(k, max_iter, tol, robust, clustered, newton=False, multiway=False, small_sample=False):
// max_iter, tol and robust as fit_probit takes them, None for the defaults; clustered (a bool) when a
// robust fit has cluster variables; newton (a bool) to finish with Newton steps to the maximum, as probit's
// fits do; multiway when the cluster variables are two or more dimensions of cluster numbers, whose terms
// small_sample multiplies by G/(G - 1).
PyObject* optimizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) raise(PyExc_TypeError, "_Optimizer takes no keywords");
    std::array<PyObject*, kOptimizerParams.size()> slot{};
    bind_arguments(kOptimizerSignature, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), nullptr, slot);
    const auto k = static_cast<std::size_t>(to_u64(slot[0]));
    const std::uint64_t max_iter =
        optional_argument<std::uint64_t>(slot[1], "max_iter", to_u64).value_or(probit::kDefaultMaxIter);
    const double tol = optional_argument<double>(slot[2], "tol", to_double).value_or(probit::kDefaultTol);
    const bool robust = optional_argument<bool>(slot[3], "robust", to_bool).value_or(false);
    const bool clustered = robust && to_bool(slot[4]);
    const probit::Covariance covariance = !robust  ? probit::Covariance::classical
                                          : clustered ? probit::Covariance::clustered
                                                      : probit::Covariance::robust;
    const Wants at_optimum = probit::covariance_wants(covariance, &kClustersWanted);
    const bool newton = flag_argument(slot[5]);
    const bool multiway = clustered && flag_argument(slot[6]);
    const bool small_sample = flag_argument(slot[7]);
    Ref object = checked(type->tp_alloc(type, 0));
    OptimizerObject* self = as_optimizer(object.get());
    new (&self->optimizer) std::optional<probit::Optimizer>(std::in_place, k, max_iter, tol, at_optimum, newton);
    new (&self->cells) std::optional<probit::Clusters>();
    self->covariance = covariance;
    self->multiway = multiway;
    self->small_sample = small_sample;
    self->negative_eigenvalues = 0;
    self->singular_hessian = false;
    return object;
  });
}

void optimizer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&as_optimizer(self)->optimizer);
  std::destroy_at(&as_optimizer(self)->cells);
  type->tp_free(self);
  Py_DECREF(type);
}

// request() -> (beta, wants) of the pending pass, or None when the fit is done.
PyObject* optimizer_request(PyObject* self, PyObject*) {
  return guarded([&] {
    const probit::Optimizer& optimizer = *as_optimizer(self)->optimizer;
    if (optimizer.done()) return Ref::borrow(Py_None);
    Ref beta = out_vector(optimizer.request().beta);
    Ref wants = wants_dict(optimizer.request().wants);
    return checked(PyTuple_Pack(2, beta.get(), wants.get()));
  });
}

// The terms of the cells whose cluster numbers in each dimension are the rows of values.
probit::Clusters multiway_cells(PyObject* values) {
  const MatrixView codes = matrix_view(as_float64_array(values, 2));
  const auto cells = static_cast<std::size_t>(codes.rows), dimensions = static_cast<std::size_t>(codes.cols);
  check_dimensions(dimensions);
  std::vector<std::uint32_t> cell_codes(cells * dimensions);
  for (std::size_t d = 0; d < dimensions; ++d) {
    const std::vector<std::uint32_t> column = cluster_numbers(codes.column(static_cast<std::ptrdiff_t>(d)), "cells");
    for (std::size_t c = 0; c < cells; ++c) cell_codes[c * dimensions + d] = column[c];
  }
  probit::Clusters out;
  out.count = cells;
  out.terms = probit::cluster_terms(cell_codes, dimensions);
  return out;
}

// respond(sums): the sums over every row of the pending request, keyed as block_sums returns them,
// with "cluster_sums" the clusters' score sums as rows, the clusters in order of first appearance, and
// for multiway clusters "cells", their cluster numbers in each dimension.
PyObject* optimizer_respond(PyObject* self, PyObject* sums) {
  return guarded([&] {
    probit::Optimizer& optimizer = *as_optimizer(self)->optimizer;
    if (optimizer.done()) raise(PyExc_RuntimeError, "the fit is done");
    if (!PyDict_Check(sums)) raise(PyExc_TypeError, "sums must be a dict");
    const Wants& wants = optimizer.request().wants;
    const std::size_t k = optimizer.request().beta.size();
    auto item = [&](const char* name) {
      PyObject* value = PyDict_GetItemString(sums, name);
      if (value == nullptr) raise(PyExc_KeyError, name);
      return value;
    };
    Evaluation evaluation;
    if (wants.loglike) evaluation.loglike = to_double(item("loglike"));
    if (wants.gradient) evaluation.gradient = in_vector(item("gradient"), k, "gradient");
    if (wants.hessian) evaluation.hessian = in_matrix(item("hessian"), k, "hessian");
    if (wants.gram) evaluation.gram = in_matrix(item("gram"), k, "gram");
    if (wants.score_outer_sum) evaluation.score_outer_sum = in_matrix(item("score_outer_sum"), k, "score_outer_sum");
    if (wants.clusters != nullptr) {
      const MatrixView u = matrix_view(as_float64_array(item("cluster_sums"), 2));
      if (u.cols != static_cast<std::ptrdiff_t>(k)) raise(PyExc_ValueError, "cluster_sums must have k columns");
      const auto clusters = static_cast<std::size_t>(u.rows);
      Vector column_sums(clusters * k);
      for (std::size_t j = 0; j < k; ++j) {
        for (std::size_t g = 0; g < clusters; ++g) {
          column_sums[j * clusters + g] = u(static_cast<std::ptrdiff_t>(g), static_cast<std::ptrdiff_t>(j));
        }
      }
      OptimizerObject* object = as_optimizer(self);
      if (object->multiway) {
        object->cells = multiway_cells(item("cells"));
        if (object->cells->count != clusters) raise(PyExc_ValueError, "cells must have a row per cluster");
      } else {
        evaluation.cluster_meat = probit::cluster_meat(column_sums, clusters, k);
      }
      evaluation.cluster_sums = std::move(column_sums);
    }
    optimizer.respond(std::move(evaluation));
    return Ref::borrow(Py_None);
  });
}

// results(exog, endog) -> VaskProbitResults over the given arrays, once the fit is done.
PyObject* optimizer_results(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    if (nargs != 2) raise(PyExc_TypeError, "results() takes exog and endog");
    OptimizerObject* object = as_optimizer(self);
    const probit::Optimizer& optimizer = *object->optimizer;
    if (!optimizer.done()) raise(PyExc_RuntimeError, "the fit is not done");
    const probit::Optimum& optimum = optimizer.optimum();
    const probit::Clusters* cells = object->cells ? &*object->cells : nullptr;
    const probit::CovarianceEstimate cov =
        probit::estimate_covariance(*optimum.at_optimum, object->covariance, cells, object->small_sample);
    object->negative_eigenvalues = cov.negative_eigenvalues;
    object->singular_hessian = cov.singular_hessian;
    return results_object(optimum, cov.cov, Ref::borrow(args[0]), Ref::borrow(args[1]));
  });
}

// negative_eigenvalues() -> int: those the multiway covariance of results() set to 0.
PyObject* optimizer_negative_eigenvalues(PyObject* self, PyObject*) {
  return guarded([&] { return checked(PyLong_FromSize_t(as_optimizer(self)->negative_eigenvalues)); });
}

// singular_hessian() -> bool: whether the Hessian of results() had no inverse, its covariance NaN.
PyObject* optimizer_singular_hessian(PyObject* self, PyObject*) {
  return guarded([&] { return Ref::borrow(as_optimizer(self)->singular_hessian ? Py_True : Py_False); });
}

PyMethodDef optimizer_methods[] = {
    {"request", optimizer_request, METH_NOARGS, nullptr},
    {"respond", optimizer_respond, METH_O, nullptr},
    {"results", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(optimizer_results)), METH_FASTCALL,
     nullptr},
    {"negative_eigenvalues", optimizer_negative_eigenvalues, METH_NOARGS, nullptr},
    {"singular_hessian", optimizer_singular_hessian, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot optimizer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(optimizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(optimizer_dealloc)},
    {Py_tp_methods, optimizer_methods},
    {0, nullptr},
};

PyType_Spec optimizer_spec = {"quorbis._quorbis._Optimizer", sizeof(OptimizerObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, optimizer_slots};

}  // namespace

Ref optimizer_type() { return checked(PyType_FromSpec(&optimizer_spec)); }

}  // namespace quorbis::python::blocks
