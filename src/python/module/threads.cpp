#include "python/module/threads.hpp"

#include <cstdint>
#include <string>

#include "core/parallel/pool.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/messages.hpp"

namespace quorbis::python::module {
namespace {

using core::parallel::kMaxThreads;

PyObject* set_num_threads(PyObject*, PyObject* n) {
  return guarded([&] {
    const std::uint64_t threads = convert_argument("n", [&] { return to_u64(n); });
    if (threads < 1 || threads > kMaxThreads) {
      raise(PyExc_ValueError, format(kThreadCount, {{"max_threads", std::to_string(kMaxThreads)}}));
    }
    core::parallel::set_num_threads(static_cast<std::size_t>(threads));
    return Ref::borrow(Py_None);
  });
}

PyObject* get_num_threads(PyObject*, PyObject*) {
  return guarded([] { return checked(PyLong_FromSize_t(core::parallel::num_threads())); });
}

// The docstring states the cap that kMaxThreads holds.
static_assert(kMaxThreads == 1024);

}  // namespace

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

}  // namespace quorbis::python::module
