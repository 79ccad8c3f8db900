#include "python/blocks/optimizer.hpp"

#include <array>
#include <memory>
#include <new>
#include <optional>

#include "core/probit/covariance.hpp"
#include "core/probit/optimizer.hpp"
#include "python/binding.hpp"
#include "python/blocks/sums.hpp"
#include "python/boundary.hpp"
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
};

OptimizerObject* as_optimizer(PyObject* self) { return reinterpret_cast<OptimizerObject*>(self); }

constexpr std::array<const char*, 6> kOptimizerParams = {"k", "max_iter", "tol", "robust", "clustered", "newton"};
constexpr Signature kOptimizerSignature = {"_Optimizer", kOptimizerParams, 5};

// _Optimizer(k, max_iter, tol, robust, clustered, newton=False): max_iter, tol and robust as fit_probit
// takes them, None for the defaults; clustered (a bool) when a robust fit has cluster variables; newton
// (a bool) to finish with Newton steps to the maximum, as probit's fits do.
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
    const bool newton = given(slot[5]) && to_bool(slot[5]);
    Ref object = checked(type->tp_alloc(type, 0));
    OptimizerObject* self = as_optimizer(object.get());
    new (&self->optimizer) std::optional<probit::Optimizer>(std::in_place, k, max_iter, tol, at_optimum, newton);
    self->covariance = covariance;
    return object;
  });
}

void optimizer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&as_optimizer(self)->optimizer);
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

// respond(sums): the sums over every row of the pending request, keyed as block_sums returns them,
// with "cluster_sums" the clusters' score sums as rows, the clusters in order of first appearance.
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
      evaluation.cluster_meat = probit::cluster_meat(column_sums, clusters, k);
    }
    optimizer.respond(std::move(evaluation));
    return Ref::borrow(Py_None);
  });
}

// results(exog, endog) -> VaskProbitResults over the given arrays, once the fit is done.
PyObject* optimizer_results(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    if (nargs != 2) raise(PyExc_TypeError, "results() takes exog and endog");
    const OptimizerObject* object = as_optimizer(self);
    const probit::Optimizer& optimizer = *object->optimizer;
    if (!optimizer.done()) raise(PyExc_RuntimeError, "the fit is not done");
    const probit::Optimum& optimum = optimizer.optimum();
    const Matrix cov = probit::estimate_covariance(*optimum.at_optimum, object->covariance);
    return results_object(optimum, cov, Ref::borrow(args[0]), Ref::borrow(args[1]));
  });
}

PyMethodDef optimizer_methods[] = {
    {"request", optimizer_request, METH_NOARGS, nullptr},
    {"respond", optimizer_respond, METH_O, nullptr},
    {"results", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(optimizer_results)), METH_FASTCALL,
     nullptr},
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
