// Private entry points for a driver that holds the rows elsewhere, in blocks (the Dask driver): the
// optimiser as a Python object that asks for the sums of a pass, the sums of one block of rows, and
// the sums over a block from which the average marginal effects follow.
#include "lib/blocks.hpp"

#include <array>
#include <new>
#include <optional>
#include <string>

#include "ame/effects.hpp"
#include "ame/intercepts.hpp"
#include "ame/table.hpp"
#include "lib/binding.hpp"
#include "lib/boundary.hpp"
#include "lib/classes.hpp"
#include "lib/convert.hpp"
#include "lib/numpy.hpp"
#include "lib/sequence.hpp"
#include "lib/unlocked.hpp"
#include "probit/clusters.hpp"
#include "probit/covariance.hpp"
#include "probit/fit.hpp"
#include "probit/optimizer.hpp"

namespace quorbis::lib {
namespace {

using probit::Evaluation;
using probit::Matrix;
using probit::Vector;
using probit::Wants;

constexpr std::array<const char*, 5> kSumNames = {"loglike", "gradient", "hessian", "gram", "score_outer_sum"};

// A wanted matrix or vector, copied in or out; k x k matrices are symmetric, so their order is free.
Ref out_vector(const Vector& v) {
  Buffer buffer(v.size());
  std::copy(v.begin(), v.end(), buffer.data());
  return vector_out(std::move(buffer));
}

Ref out_matrix(const Matrix& m) {
  Buffer buffer = Buffer::matrix(m.rows(), m.cols());
  std::copy(m.values().begin(), m.values().end(), buffer.data());
  return matrix_out(std::move(buffer), m.rows(), m.cols(), Order::row_major);
}

Vector in_vector(PyObject* obj, std::size_t size, const char* what) {
  const VectorView v = vector_view(as_float64_array(obj, 1));
  if (static_cast<std::size_t>(v.size) != size) {
    raise(PyExc_ValueError, cat({what, " must have ", std::to_string(size), " entries"}));
  }
  Vector out(size);
  for (std::size_t j = 0; j < size; ++j) out[j] = v[static_cast<std::ptrdiff_t>(j)];
  return out;
}

Matrix in_matrix(PyObject* obj, std::size_t k, const char* what) {
  const MatrixView m = matrix_view(as_float64_array(obj, 2));
  if (m.rows != static_cast<std::ptrdiff_t>(k) || m.cols != static_cast<std::ptrdiff_t>(k)) {
    raise(PyExc_ValueError, cat({what, " must be ", std::to_string(k), " x ", std::to_string(k)}));
  }
  Matrix out(k, k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) out(r, c) = m(static_cast<std::ptrdiff_t>(r), static_cast<std::ptrdiff_t>(c));
  }
  return out;
}

// Wants as a dict of flags, the names of Wants' members; "clusters" stands for the cluster sums.
Ref wants_dict(const Wants& wants) {
  Ref dict = checked(PyDict_New());
  const std::array<bool, 6> flags = {wants.loglike, wants.gradient, wants.hessian, wants.gram, wants.score_outer_sum,
                                     wants.clusters != nullptr};
  for (std::size_t i = 0; i < flags.size(); ++i) {
    const char* name = i < kSumNames.size() ? kSumNames[i] : "clusters";
    if (PyDict_SetItemString(dict.get(), name, flags[i] ? Py_True : Py_False) < 0) throw_pending();
  }
  return dict;
}

bool flag(PyObject* dict, const char* name) {
  PyObject* value = PyDict_GetItemString(dict, name);  // borrowed
  if (value == nullptr) return false;
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) throw_pending();
  return truth == 1;
}

// Any non-null pointer asks a pass for the cluster sums; the grouping itself is the block's own.
const probit::Clusters kClustersWanted;

Wants wants_of(PyObject* dict) {
  if (!PyDict_Check(dict)) raise(PyExc_TypeError, "wants must be a dict");
  return {.loglike = flag(dict, "loglike"),
          .gradient = flag(dict, "gradient"),
          .hessian = flag(dict, "hessian"),
          .gram = flag(dict, "gram"),
          .score_outer_sum = flag(dict, "score_outer_sum"),
          .clusters = flag(dict, "clusters") ? &kClustersWanted : nullptr};
}

void set_item(PyObject* dict, const char* name, Ref value) {
  if (PyDict_SetItemString(dict, name, value.get()) < 0) throw_pending();
}

// ---- The optimiser ----------------------------------------------------------------------------

struct OptimizerObject {
  PyObject_HEAD
  std::optional<probit::Optimizer> optimizer;
  bool robust;
  bool clustered;
};

OptimizerObject* as_optimizer(PyObject* self) { return reinterpret_cast<OptimizerObject*>(self); }

constexpr std::uint64_t kDefaultMaxIter = 35;
constexpr double kDefaultTol = 1e-06;

constexpr std::array<const char*, 5> kOptimizerParams = {"k", "max_iter", "tol", "robust", "clustered"};
constexpr Signature kOptimizerSignature = {"_Optimizer", kOptimizerParams, 5};

// _Optimizer(k, max_iter, tol, robust, clustered): max_iter, tol and robust as fit_probit takes them,
// None for the defaults; clustered (a bool) when a robust fit has cluster variables.
PyObject* optimizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) raise(PyExc_TypeError, "_Optimizer takes no keywords");
    std::array<PyObject*, kOptimizerParams.size()> slot{};
    bind_arguments(kOptimizerSignature, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), nullptr, slot);
    const auto k = static_cast<std::size_t>(to_u64(slot[0]));
    const std::uint64_t max_iter =
        given(slot[1]) ? convert_argument("max_iter", [&] { return to_u64(slot[1]); }) : kDefaultMaxIter;
    const double tol = given(slot[2]) ? convert_argument("tol", [&] { return to_double(slot[2]); }) : kDefaultTol;
    const bool robust = given(slot[3]) && convert_argument("robust", [&] { return to_bool(slot[3]); });
    const bool clustered = robust && to_bool(slot[4]);
    const Wants at_optimum{.hessian = true,
                           .score_outer_sum = robust && !clustered,
                           .clusters = clustered ? &kClustersWanted : nullptr};
    Ref object = checked(type->tp_alloc(type, 0));
    OptimizerObject* self = as_optimizer(object.get());
    new (&self->optimizer) std::optional<probit::Optimizer>(std::in_place, k, max_iter, tol, at_optimum);
    self->robust = robust;
    self->clustered = clustered;
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
    const Wants meat{.clusters = object->clustered ? &kClustersWanted : nullptr};
    const Matrix cov = probit::estimate_covariance(*optimum.at_optimum, meat, object->robust);
    return make_results_object(probit::results_record(optimum, cov, Ref::borrow(args[0]), Ref::borrow(args[1])));
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

// ---- The sums of one block of rows ------------------------------------------------------------

// The labels of the block's clusters, in id order (the order of first appearance).
Ref cluster_labels(const MatrixView& values, const probit::Clusters& clusters) {
  Ref list = checked(PyList_New(0));
  std::string label;
  std::size_t next = 0;
  for (std::size_t i = 0; i < clusters.of_row.size() && next < clusters.count; ++i) {
    if (clusters.of_row[i] != next) continue;
    probit::cluster_label(values, static_cast<std::ptrdiff_t>(i), label);
    Ref text = checked(PyUnicode_FromStringAndSize(label.data(), static_cast<Py_ssize_t>(label.size())));
    if (PyList_Append(list.get(), text.get()) < 0) throw_pending();
    ++next;
  }
  return list;
}

constexpr std::array<const char*, 5> kBlockParams = {"endog", "exog", "beta", "wants", "cluster_vars"};
constexpr Signature kBlockSignature = {"_block_sums", kBlockParams, 4};

// _block_sums(endog, exog, beta, wants, cluster_vars=None) -> dict of the block's sums: "loglike",
// "gradient", "hessian", "gram", "score_outer_sum" as wanted, and for "clusters" the block's cluster
// "labels" with their score sums as the rows of "cluster_sums".
PyObject* block_sums(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, kBlockParams.size()> slot{};
    bind_arguments(kBlockSignature, args, nargsf, kwnames, slot);
    const VectorView y = vector_view(as_float64_array(slot[0], 1));
    const MatrixView x = matrix_view(as_exog_argument(slot[1]));
    if (x.rows != y.size) raise(PyExc_ValueError, "endog and exog must have the same rows");
    const auto k = static_cast<std::size_t>(x.cols);
    probit::Request request{in_vector(slot[2], k, "beta"), wants_of(slot[3])};
    MatrixView values{};
    if (request.wants.clusters != nullptr) {
      if (!given(slot[4])) raise(PyExc_ValueError, "the cluster sums need cluster_vars");
      values = matrix_view(as_float64_array(slot[4], 2));
      if (values.rows != y.size) raise(PyExc_ValueError, "cluster_vars must have the rows of endog");
    }
    probit::Clusters clusters;
    const Evaluation sums = without_lock([&] {
      const Buffer endog = probit::copy_vector(y);
      const Buffer design = probit::copy_column_major(x);
      if (request.wants.clusters != nullptr) {
        clusters = probit::combine_cluster_keys(values);
        request.wants.clusters = &clusters;
      }
      const probit::Probit block(endog.data(), endog.size(), {design.data(), endog.size(), k});
      return probit::answer(block, request);
    });
    Ref out = checked(PyDict_New());
    const Wants& w = request.wants;
    if (w.loglike) set_item(out.get(), "loglike", checked(PyFloat_FromDouble(sums.loglike)));
    if (w.gradient) set_item(out.get(), "gradient", out_vector(sums.gradient));
    if (w.hessian) set_item(out.get(), "hessian", out_matrix(sums.hessian));
    if (w.gram) set_item(out.get(), "gram", out_matrix(sums.gram));
    if (w.score_outer_sum) set_item(out.get(), "score_outer_sum", out_matrix(sums.score_outer_sum));
    if (w.clusters != nullptr) {
      set_item(out.get(), "labels", cluster_labels(values, clusters));
      Buffer u(sums.cluster_sums.size());
      std::copy(sums.cluster_sums.begin(), sums.cluster_sums.end(), u.data());
      set_item(out.get(), "cluster_sums", matrix_out(std::move(u), clusters.count, k, Order::column_major));
    }
    return out;
  });
}

// ---- The effects over blocks ------------------------------------------------------------------

std::vector<std::string> names_of(PyObject* names) { return string_list(names); }

// _dummy_columns(exog) -> list of bool: whether each column of the block holds only 0 and 1.
PyObject* dummy_columns(PyObject*, PyObject* exog) {
  return guarded([&] {
    const MatrixView x = matrix_view(as_exog_argument(exog));
    const std::vector<bool> flags =
        without_lock([&] { return ame::dummy_columns(x, std::vector<bool>(static_cast<std::size_t>(x.cols))); });
    Ref list = checked(PyList_New(x.cols));
    for (std::ptrdiff_t j = 0; j < x.cols; ++j) {
      PyList_SET_ITEM(list.get(), j, Py_NewRef(flags[static_cast<std::size_t>(j)] ? Py_True : Py_False));
    }
    return list;
  });
}

ame::ColumnKinds kinds_of(PyObject* dummies, const std::vector<bool>& intercept) {
  Ref flags = checked(PySequence_Fast(dummies, "dummies must be a sequence"));
  if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(flags.get())) != intercept.size()) {
    raise(PyExc_ValueError, "one dummy flag per column");
  }
  std::vector<bool> dummy(intercept.size());
  for (std::size_t j = 0; j < intercept.size(); ++j) {
    if (!intercept[j]) dummy[j] = to_bool(PySequence_Fast_GET_ITEM(flags.get(), static_cast<Py_ssize_t>(j)));
  }
  return ame::kinds_of(dummy, intercept);
}

constexpr std::array<const char*, 5> kEffectParams = {"exog", "params", "names", "dummies", "chunk_size"};
constexpr Signature kEffectSignature = {"_effect_sums", kEffectParams, 5};

// _effect_sums(exog, params, names, dummies, chunk_size) -> (effects, jacobian): the block's sums, its
// rows in chunks of chunk_size (None: one chunk), before division by the number of rows.
PyObject* effect_sums(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, kEffectParams.size()> slot{};
    bind_arguments(kEffectSignature, args, nargsf, kwnames, slot);
    const MatrixView x = matrix_view(as_exog_argument(slot[0]));
    const VectorView params = vector_view(as_float64_array(slot[1], 1));
    const std::vector<bool> intercept = ame::intercept_columns(names_of(slot[2]));
    if (params.size != x.cols || intercept.size() != static_cast<std::size_t>(x.cols)) {
      raise(PyExc_ValueError, "params and names must match the columns of exog");
    }
    const ame::ColumnKinds kinds = kinds_of(slot[3], intercept);
    const auto rows = static_cast<std::uint64_t>(x.rows);
    const std::uint64_t chunk = given(slot[4]) ? to_u64(slot[4]) : rows;
    const ame::EffectSums sums =
        without_lock([&] { return ame::effect_sums(x, params, kinds, chunk == 0 ? 1 : chunk); });
    Ref effects = out_vector(sums.effects);
    Buffer jacobian(sums.jacobian.size());
    std::copy(sums.jacobian.begin(), sums.jacobian.end(), jacobian.data());
    Ref g = matrix_out(std::move(jacobian), intercept.size(), intercept.size(), Order::row_major);
    return checked(PyTuple_Pack(2, effects.get(), g.get()));
  });
}

constexpr std::array<const char*, 5> kTableParams = {"effects", "jacobian", "nobs", "cov", "names"};
constexpr Signature kTableSignature = {"_effects_table", kTableParams, 5};

// _effects_table(effects, jacobian, nobs, cov, names) -> the DataFrame of ame from the sums over nobs rows.
PyObject* effects_table(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, kTableParams.size()> slot{};
    bind_arguments(kTableSignature, args, nargsf, kwnames, slot);
    const std::vector<std::string> names = names_of(slot[4]);
    const std::size_t k = names.size();
    const Matrix jacobian = in_matrix(slot[1], k, "jacobian");
    const ame::EffectSums sums{in_vector(slot[0], k, "effects"), jacobian.values()};
    const MatrixView cov = matrix_view(as_float64_array(slot[3], 2));
    if (cov.rows != static_cast<std::ptrdiff_t>(k) || cov.cols != static_cast<std::ptrdiff_t>(k)) {
      raise(PyExc_ValueError, "cov must be k x k");
    }
    const std::vector<bool> intercept = ame::intercept_columns(names);
    return ame::effects_table(ame::effects_from_sums(sums, to_u64(slot[2]), cov, intercept), names);
  });
}

template <class F>
PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef block_functions[] = {
    {"_block_sums", fast(block_sums), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_dummy_columns", dummy_columns, METH_O, nullptr},
    {"_effect_sums", fast(effect_sums), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_effects_table", fast(effects_table), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_block_api(PyObject* module) {
  if (PyModule_AddFunctions(module, block_functions) < 0) throw_pending();
  Ref type = checked(PyType_FromSpec(&optimizer_spec));
  if (PyModule_AddObjectRef(module, "_Optimizer", type.get()) < 0) throw_pending();
}

}  // namespace quorbis::lib
