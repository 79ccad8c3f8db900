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
     "Sets the number of threads on which quorbis computes.\n"
     "\n"
     "Fits, marginal effects and predictions run on a pool of this many threads, the calling thread\n"
     "included. Results are the same bits for every number of threads.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "n : int\n"
     "    The number of threads, from 1 to 1024.\n"
     "\n"
     "Raises\n"
     "------\n"
     "TypeError\n"
     "    For an n that is not an integer.\n"
     "ValueError\n"
     "    For an n outside 1 to 1024.\n"
     "\n"
     "Examples\n"
     "--------\n"
     ">>> import quorbis\n"
     ">>> before = quorbis.get_num_threads()\n"
     ">>> quorbis.set_num_threads(1)\n"
     ">>> quorbis.get_num_threads()\n"
     "1\n"
     ">>> quorbis.set_num_threads(before)\n"},
    {"get_num_threads", get_num_threads, METH_NOARGS,
     "get_num_threads($module, /)\n--\n\n"
     "The number of threads on which quorbis computes.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "int\n"
     "    The last set_num_threads, else the environment variable QUORBIS_NUM_THREADS if it holds a\n"
     "    positive whole number, else the number of CPUs this process may use (its affinity mask and its\n"
     "    control group's CPU quota).\n"
     "\n"
     "Examples\n"
     "--------\n"
     ">>> import quorbis\n"
     ">>> 1 <= quorbis.get_num_threads() <= 1024\n"
     "True\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorbis::python::module
