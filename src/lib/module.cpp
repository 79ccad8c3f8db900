// Module entry: the init function, the function table and the binding of each function's arguments.
#include <Python.h>

#include <array>
#include <atomic>
#include <optional>

#include "ame/ame.hpp"
#include "lib/binding.hpp"
#include "lib/blocks.hpp"
#include "lib/boundary.hpp"
#include "lib/classes.hpp"
#include "lib/convert.hpp"
#include "lib/numpy.hpp"
#include "parallel/pool.hpp"
#include "probit/fit.hpp"

namespace quorbis::lib {
namespace {

constexpr std::array<const char*, 6> kFitParams = {"endog_py", "exog_py", "max_iter", "tol", "robust",
                                                   "cluster_vars"};
constexpr Signature kFitSignature = {"fit_probit", kFitParams, 2};

constexpr std::array<const char*, 2> kAmeParams = {"probit_model", "chunk_size"};
constexpr Signature kAmeSignature = {"ame", kAmeParams, 1};

template <class T, class Convert>
std::optional<T> optional_argument(PyObject* value, const char* name, Convert convert) {
  if (!given(value)) return std::nullopt;
  return convert_argument(name, [&] { return convert(value); });
}

PyObject* fit_probit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, kFitParams.size()> slot{};
    bind_arguments(kFitSignature, args, nargsf, kwnames, slot);
    probit::FitArguments arguments;
    arguments.endog = slot[0];
    arguments.exog = convert_argument("exog_py", [&] { return as_exog_argument(slot[1]); });
    arguments.max_iter = optional_argument<std::uint64_t>(slot[2], "max_iter", to_u64);
    arguments.tol = optional_argument<double>(slot[3], "tol", to_double);
    arguments.robust = optional_argument<bool>(slot[4], "robust", to_bool).value_or(false);
    arguments.cluster_vars = given(slot[5]) ? slot[5] : nullptr;
    return make_results_object(probit::fit_probit(arguments));
  });
}

PyObject* ame(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, kAmeParams.size()> slot{};
    bind_arguments(kAmeSignature, args, nargsf, kwnames, slot);
    return ame::ame(slot[0], optional_argument<std::uint64_t>(slot[1], "chunk_size", to_u64));
  });
}

PyMethodDef functions[] = {
    {"ame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ame)), METH_FASTCALL | METH_KEYWORDS,
     "ame(probit_model, chunk_size=...)\n--\n\nCalculates Average Marginal Effects (AME) for a Probit model"},
    {"fit_probit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_probit)),
     METH_FASTCALL | METH_KEYWORDS,
     "fit_probit(endog_py, exog_py, max_iter=..., tol=..., robust=..., cluster_vars=...)\n--\n\n"},
};

constexpr std::uint64_t kMaxThreads = 1024;

PyObject* set_num_threads(PyObject*, PyObject* n) {
  return guarded([&] {
    const std::uint64_t threads = convert_argument("n", [&] { return to_u64(n); });
    if (threads < 1 || threads > kMaxThreads) raise(PyExc_ValueError, "n must be from 1 to 1024");
    parallel::set_num_threads(static_cast<std::size_t>(threads));
    return Ref::borrow(Py_None);
  });
}

PyObject* get_num_threads(PyObject*, PyObject*) {
  return guarded([] { return checked(PyLong_FromSize_t(parallel::num_threads())); });
}

// Module attributes beside the two functions of __all__.
PyMethodDef thread_functions[] = {
    {"set_num_threads", set_num_threads, METH_O,
     "set_num_threads($module, n, /)\n--\n\n"
     "Sets the number of threads (1 to 1024, the calling thread included) on which fit_probit and ame\n"
     "compute. Results are the same for every number of threads."},
    {"get_num_threads", get_num_threads, METH_NOARGS,
     "get_num_threads($module, /)\n--\n\n"
     "The number of threads on which fit_probit and ame compute: the last set_num_threads, else the\n"
     "environment variable QUORBIS_NUM_THREADS, else the number of CPUs this process may use."},
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
}  // namespace quorbis::lib

PyMODINIT_FUNC PyInit__quorbis() {
  using namespace quorbis::lib;
  return guarded([] {
    Ref module = checked(PyModule_Create(&module_def));
    if (initialised.exchange(true)) {
      raise(PyExc_ImportError, "quorbis may be initialised only once per interpreter process");
    }
    add_functions(module.get());
    if (PyModule_AddFunctions(module.get(), thread_functions) < 0) throw_pending();
    add_block_api(module.get());
    if (PyModule_AddObjectRef(module.get(), "PanicException", panic_exception_type()) < 0) throw_pending();
    return module;
  });
}
