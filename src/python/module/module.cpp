// The extension module quorbis._quorbis: its init function and its table of functions, public and
// private; each entry point lives with the code that reads its arguments.
#include <Python.h>

#include <atomic>

#include "python/ame/ame.hpp"
#include "python/blocks/block_sums.hpp"
#include "python/blocks/effects.hpp"
#include "python/blocks/optimizer.hpp"
#include "python/boundary.hpp"
#include "python/error.hpp"
#include "python/fit/design_matrix.hpp"
#include "python/fit/fit_design.hpp"
#include "python/fit/fit_probit.hpp"
#include "python/margins/margins.hpp"
#include "python/module/constants.hpp"
#include "python/module/threads.hpp"
#include "python/panel/fit_fixed_effects.hpp"
#include "python/panel/partial_effects.hpp"

namespace quorbis::python::module {
namespace {

template <class F>
PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The two functions of __all__, in its order.
PyMethodDef functions[] = {
    {"ame", fast(ame::ame), METH_FASTCALL | METH_KEYWORDS,
     "ame(probit_model, chunk_size=...)\n--\n\nCalculates Average Marginal Effects (AME) for a Probit model"},
    {"fit_probit", fast(fit::fit_probit), METH_FASTCALL | METH_KEYWORDS,
     "fit_probit(endog_py, exog_py, max_iter=..., tol=..., robust=..., cluster_vars=...)\n--\n\n"},
};

// For a driver that passes over the rows in blocks held outside this process (quorbis.dask).
PyMethodDef block_functions[] = {
    {"_block_sums", fast(blocks::block_sums), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_dummy_columns", blocks::dummy_columns, METH_O, nullptr},
    {"_effect_sums", fast(blocks::effect_sums), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_effects_table", fast(blocks::effects_table), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// For the Python layer's fits with fixed effects (python/quorbis/_fixed_effects.py).
PyMethodDef panel_functions[] = {
    {"_fit_fixed_effects", fast(panel::fit_fixed_effects), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_fixed_effects_ame", fast(panel::fixed_effects_ame), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// For probit(), which fits a design matrix of its own making.
PyMethodDef design_functions[] = {
    {"_design_matrix", fast(fit::design_matrix), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_fit_design", fast(fit::fit_design), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// For the Python layer's effects of variables, average predictions and predictions with errors.
PyMethodDef margin_functions[] = {
    {"_margin_sums", fast(margins::margin_sums), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_predict", fast(margins::predict), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quorbis", "A Python module implemented in Vask.", 0, nullptr, nullptr,
    nullptr, nullptr, nullptr,
};

std::atomic<bool> initialised{false};

// Adds each function to the module and to its __all__, in table order.
void add_functions(PyObject* module) {
  Ref module_name = checked(PyModule_GetNameObject(module));
  for (PyMethodDef& def : functions) {
    Ref function = checked(PyCFunction_NewEx(&def, module, module_name.get()));
    Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
      PyErr_Clear();
      all = checked(PyList_New(0));
      if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
    }
    if (PyList_Append(all.get(), name.get()) < 0) throw_pending();
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw_pending();
  }
}

}  // namespace
}  // namespace quorbis::python::module

PyMODINIT_FUNC PyInit__quorbis() {
  using namespace quorbis::python;
  using namespace quorbis::python::module;
  return guarded([] {
    Ref module = checked(PyModule_Create(&module_def));
    if (initialised.exchange(true)) {
      raise(PyExc_ImportError, "quorbis may be initialised only once per interpreter process");
    }
    add_functions(module.get());
    if (PyModule_AddFunctions(module.get(), thread_functions) < 0) throw_pending();
    if (PyModule_AddFunctions(module.get(), block_functions) < 0) throw_pending();
    if (PyModule_AddFunctions(module.get(), panel_functions) < 0) throw_pending();
    if (PyModule_AddFunctions(module.get(), design_functions) < 0) throw_pending();
    if (PyModule_AddFunctions(module.get(), margin_functions) < 0) throw_pending();
    if (PyModule_AddObjectRef(module.get(), "_Optimizer", blocks::optimizer_type().get()) < 0) throw_pending();
    if (PyModule_AddObjectRef(module.get(), "PanicException", panic_exception_type()) < 0) throw_pending();
    add_constants(module.get());
    return module;
  });
}
