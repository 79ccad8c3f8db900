// _quorbis_hooks: internals exposed to the test suite in instrumented builds only.
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "lib/boundary.hpp"
#include "core/buffer.hpp"
#include "lib/error.hpp"
#include "lib/numpy.hpp"
#include "normal/normal.hpp"

namespace {

using namespace quorbis::lib;
namespace normal = quorbis::normal;

using BlockFunction = void (*)(const double*, double*, std::size_t) noexcept;
using ValueFunction = double (*)(double) noexcept;

struct NormalFunction {
  std::string_view name;
  BlockFunction block;
  ValueFunction value;
};

constexpr NormalFunction kNormalFunctions[] = {
    {"erfc", normal::erfc_block, normal::erfc},
    {"exp", normal::exp_block, normal::exp},
    {"log", normal::log_block, normal::log},
    {"cdf", normal::cdf_block, normal::cdf},
    {"pdf", normal::pdf_block, normal::pdf},
    {"clipped_cdf", normal::clipped_cdf_block, normal::clipped_cdf},
    {"log_cdf", normal::log_cdf_block, normal::log_cdf},
    {"pdf_over_cdf", normal::pdf_over_cdf_block, normal::pdf_over_cdf},
    {"curvature_weight", normal::curvature_weight_block, normal::curvature_weight},
};

const NormalFunction& normal_function(PyObject* name) {
  if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "the function name must be a str");
  const std::string text = utf8(name);
  for (const NormalFunction& f : kNormalFunctions) {
    if (f.name == text) return f;
  }
  raise(PyExc_ValueError, cat({"unknown function '", text, "'"}));
}

// Applies a function of normal.hpp / vector_math.hpp to a 1-D float64 array (any strides), either
// as one block call or value by value. Returns a new reference to a new array.
Ref apply(PyObject* args, bool by_value) {
  PyObject* name = nullptr;
  PyObject* values = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &name, &values)) throw_pending();
  const NormalFunction& f = normal_function(name);
  const VectorView x = vector_view(as_float64_array(values, 1));
  const auto n = static_cast<std::size_t>(x.size);
  Buffer in(n);
  for (std::size_t i = 0; i < n; ++i) in[i] = x[static_cast<std::ptrdiff_t>(i)];
  Buffer out(n);
  if (by_value) {
    for (std::size_t i = 0; i < n; ++i) out[i] = f.value(in[i]);
  } else {
    f.block(in.data(), out.data(), n);
  }
  return vector_out(std::move(out));
}

// normal::log_cdf_and_ratio_block on a 1-D float64 array. Returns a new reference to a tuple of two new
// arrays.
Ref log_cdf_and_ratio(PyObject* values) {
  const VectorView x = vector_view(as_float64_array(values, 1));
  const auto n = static_cast<std::size_t>(x.size);
  Buffer in(n), log_cdf(n), ratio(n);
  for (std::size_t i = 0; i < n; ++i) in[i] = x[static_cast<std::ptrdiff_t>(i)];
  normal::log_cdf_and_ratio_block(in.data(), log_cdf.data(), ratio.data(), n);
  Ref first = vector_out(std::move(log_cdf));
  Ref second = vector_out(std::move(ratio));
  return checked(PyTuple_Pack(2, first.get(), second.get()));
}

// Raises an internal fault through the same boundary every public entry point uses.
PyObject* trigger_fault(PyObject*, PyObject*) {
  return guarded([]() -> Ref { fault("assertion failed: index < dim"); });
}

PyObject* normal_block(PyObject*, PyObject* args) {
  return guarded([&] { return apply(args, false); });
}

PyObject* normal_each(PyObject*, PyObject* args) {
  return guarded([&] { return apply(args, true); });
}

PyObject* normal_log_cdf_and_ratio(PyObject*, PyObject* values) {
  return guarded([&] { return log_cdf_and_ratio(values); });
}

PyObject* simd_supported(PyObject*, PyObject*) { return PyBool_FromLong(normal::simd_supported()); }

PyObject* set_simd_enabled(PyObject*, PyObject* flag) {
  const int enabled = PyObject_IsTrue(flag);
  if (enabled < 0) return nullptr;
  return PyBool_FromLong(normal::set_simd_enabled(enabled != 0));
}

PyMethodDef hook_functions[] = {
    {"trigger_fault", trigger_fault, METH_NOARGS, "Raise an internal fault (PanicException)."},
    {"normal_block", normal_block, METH_VARARGS,
     "normal_block(name, x): the block version of a function of normal.hpp or vector_math.hpp (erfc, exp, "
     "log, cdf, pdf, clipped_cdf, log_cdf, pdf_over_cdf, curvature_weight) on a 1-D float64 array, as a new "
     "array."},
    {"normal_each", normal_each, METH_VARARGS,
     "normal_each(name, x): like normal_block, but calling the single-value function for each element."},
    {"log_cdf_and_ratio", normal_log_cdf_and_ratio, METH_O,
     "log_cdf_and_ratio(x): (log_cdf, pdf_over_cdf) of a 1-D float64 array from the two-result block kernel."},
    {"simd_supported", simd_supported, METH_NOARGS, "Whether this CPU can run the SIMD block path."},
    {"set_simd_enabled", set_simd_enabled, METH_O,
     "Allow (True) or forbid (False) the SIMD block path; returns the previous setting."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef hooks_def = {PyModuleDef_HEAD_INIT, "_quorbis_hooks", "Test hooks of quorbis.", -1, hook_functions,
                         nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quorbis_hooks() { return PyModule_Create(&hooks_def); }
