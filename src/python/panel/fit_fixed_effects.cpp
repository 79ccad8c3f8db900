#include "python/panel/fit_fixed_effects.hpp"

#include <array>
#include <cstring>

#include "core/panel/fit.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/numpy.hpp"
#include "python/panel/arguments.hpp"
#include "python/unlocked.hpp"

namespace quorbis::python::panel {
namespace {

constexpr std::array<const char*, 9> kParams = {"endog",  "exog",         "effects", "max_iter",    "tol",
                                                "robust", "cluster_vars", "bias_L",  "small_sample"};
constexpr Signature kSignature = {"_fit_fixed_effects", kParams, 8};

Ref doubles(const std::vector<double>& values) {
  Buffer out(values.size());
  std::copy(values.begin(), values.end(), out.data());
  return vector_out(std::move(out));
}

Ref size_tuple(const std::vector<std::size_t>& values) {
  Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), checked(PyLong_FromSize_t(values[i])).release());
  }
  return tuple;
}

void set(PyObject* dict, const char* key, const Ref& value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw_pending();
}

// The estimates as the dict described in the header, less what both reports share.
Ref report_dict(const core::panel::Report& report) {
  Ref dict = checked(PyDict_New());
  set(dict.get(), "params", doubles(report.params));
  const std::size_t k = report.params.size();
  Buffer cov(k * k);
  std::copy(report.cov.values().begin(), report.cov.values().end(), cov.data());
  set(dict.get(), "cov_params", matrix_out(std::move(cov), k, k, Order::row_major));
  set(dict.get(), "loglike", checked(PyFloat_FromDouble(report.loglike)));
  set(dict.get(), "iterations", checked(PyLong_FromUnsignedLongLong(report.iterations)));
  set(dict.get(), "converged", Ref::borrow(report.converged ? Py_True : Py_False));
  set(dict.get(), "negative_eigenvalues", checked(PyLong_FromSize_t(report.negative_eigenvalues)));
  Ref effects = checked(PyTuple_New(static_cast<Py_ssize_t>(report.effects.size())));
  for (std::size_t d = 0; d < report.effects.size(); ++d) {
    PyTuple_SET_ITEM(effects.get(), static_cast<Py_ssize_t>(d), doubles(report.effects[d]).release());
  }
  set(dict.get(), "effects", effects);
  return dict;
}

Ref kept_rows(const std::vector<std::uint8_t>& kept) {
  npy_intp size = static_cast<npy_intp>(kept.size());
  Ref array = checked(PyArray_SimpleNew(1, &size, NPY_BOOL));
  std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), kept.data(), kept.size());
  return array;
}

void add_shared(PyObject* dict, const core::panel::FitResult& fit) {
  set(dict, "kept", kept_rows(fit.kept));
  set(dict, "removed_levels", size_tuple(fit.removed_levels));
  set(dict, "omitted", size_tuple(fit.omitted));
}

}  // namespace

PyObject* fit_fixed_effects(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    ensure_numpy();
    std::array<PyObject*, kParams.size()> slot{};
    bind_arguments(kSignature, args, nargsf, kwnames, slot);
    const ProblemInputs in = read_problem(slot[0], slot[1], slot[2], slot[6]);
    core::panel::FitOptions options;
    options.control.max_iter = convert_argument("max_iter", [&] { return to_u64(slot[3]); });
    options.control.tol = convert_argument("tol", [&] { return to_double(slot[4]); });
    options.covariance = covariance_kind(convert_argument("robust", [&] { return to_bool(slot[5]); }), in);
    if (given(slot[7])) options.correction_lags = convert_argument("bias_L", [&] { return to_u64(slot[7]); });
    options.small_sample = given(slot[8]) && convert_argument("small_sample", [&] { return to_bool(slot[8]); });
    if (options.correction_lags && in.problem.dimensions > 2) {
      raise(PyExc_ValueError, "the bias correction takes individual effects, or individual and time effects");
    }
    const core::panel::FitResult fit = without_lock([&] { return core::panel::fit(in.problem, options); });
    if (fit.kept_rows == 0) {
      raise(PyExc_ValueError, "no row is left to fit: every row belongs to a level whose outcomes are all 0 or all 1");
    }
    Ref out = report_dict(fit.reported);
    add_shared(out.get(), fit);
    if (fit.uncorrected) {
      Ref uncorrected = report_dict(*fit.uncorrected);
      add_shared(uncorrected.get(), fit);
      set(out.get(), "uncorrected", uncorrected);
    } else {
      set(out.get(), "uncorrected", Ref::borrow(Py_None));
    }
    return out;
  });
}

}  // namespace quorbis::python::panel
