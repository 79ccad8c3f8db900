// _quorbis_hooks: internals exposed to the test suite in instrumented builds only.
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "core/buffer.hpp"
#include "core/simd/cpu.hpp"
#include "core/simd/normal_blocks.hpp"
#include "kernels/functions.hpp"
#include "python/boundary.hpp"
#include "python/error.hpp"
#include "python/numpy.hpp"

namespace {

using namespace quorbis::python;
namespace simd = quorbis::core::simd;
using quorbis::tests::kernels::Function;

const Function& normal_function(PyObject* name) {
  if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "the function name must be a str");
  const std::string text = utf8(name);
  if (const Function* f = quorbis::tests::kernels::find(text)) return *f;
  raise(PyExc_ValueError, cat({"unknown function '", text, "'"}));
}

// Applies a normal function (see tests/kernels/functions.hpp) to a 1-D float64 array (any strides),
// either as one block call or value by value. Returns a new reference to a new array.
Ref apply(PyObject* args, bool by_value) {
  PyObject* name = nullptr;
  PyObject* values = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &name, &values)) throw_pending();
  const Function& f = normal_function(name);
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

// The two-result block kernel log_cdf_and_ratio on a 1-D float64 array. Returns a new reference to a tuple of two new
// arrays.
Ref log_cdf_and_ratio(PyObject* values) {
  const VectorView x = vector_view(as_float64_array(values, 1));
  const auto n = static_cast<std::size_t>(x.size);
  Buffer in(n), log_cdf(n), ratio(n);
  for (std::size_t i = 0; i < n; ++i) in[i] = x[static_cast<std::ptrdiff_t>(i)];
  simd::normal_blocks().log_cdf_and_ratio(in.data(), log_cdf.data(), ratio.data(), n);
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

PyObject* simd_supported(PyObject*, PyObject*) { return PyBool_FromLong(simd::avx2_supported()); }

PyObject* set_simd_enabled(PyObject*, PyObject* flag) {
  const int enabled = PyObject_IsTrue(flag);
  if (enabled < 0) return nullptr;
  return PyBool_FromLong(simd::set_fast_paths_enabled(enabled != 0));
}

PyMethodDef hook_functions[] = {
    {"trigger_fault", trigger_fault, METH_NOARGS, "Raise an internal fault (PanicException)."},
    {"normal_block", normal_block, METH_VARARGS,
     "normal_block(name, x): the block form of a normal function (erfc, exp, log, cdf, pdf, clipped_cdf, "
     "log_cdf, pdf_over_cdf, curvature_weight) on a 1-D float64 array, as a new array."},
    {"normal_each", normal_each, METH_VARARGS,
     "normal_each(name, x): like normal_block, but calling the single-value function for each element."},
    {"log_cdf_and_ratio", normal_log_cdf_and_ratio, METH_O,
     "log_cdf_and_ratio(x): (log_cdf, pdf_over_cdf) of a 1-D float64 array from the two-result block kernel."},
    {"simd_supported", simd_supported, METH_NOARGS, "Whether this build and CPU can run the AVX2 paths."},
    {"set_simd_enabled", set_simd_enabled, METH_O,
     "Allow (True) or forbid (False) every fast path of the process, the normal blocks and the row kernels "
     "of every fit and ame on every thread, from their next block on; returns the previous setting."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef hooks_def = {PyModuleDef_HEAD_INIT, "_quorbis_hooks", "Test hooks of quorbis.", -1, hook_functions,
                         nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quorbis_hooks() { return PyModule_Create(&hooks_def); }
