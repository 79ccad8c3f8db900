#include "python/module/constants.hpp"

#include "core/parallel/pool.hpp"
#include "core/probit/optimizer.hpp"
#include "python/error.hpp"
#include "python/messages.hpp"

namespace quorbis::python::module {
namespace {

void set_item(PyObject* dict, const char* key, Ref value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw_pending();
}

// {"max_iter": 35, "tol": 1e-06, "max_threads": 1024}. Returns a new reference.
Ref defaults() {
  Ref dict = checked(PyDict_New());
  set_item(dict.get(), "max_iter", checked(PyLong_FromUnsignedLongLong(core::probit::kDefaultMaxIter)));
  set_item(dict.get(), "tol", checked(PyFloat_FromDouble(core::probit::kDefaultTol)));
  set_item(dict.get(), "max_threads", checked(PyLong_FromSize_t(core::parallel::kMaxThreads)));
  return dict;
}

// Each message's name to its template. Returns a new reference.
Ref messages() {
  Ref dict = checked(PyDict_New());
  for (const Message& message : kMessages) {
    set_item(dict.get(), message.name, checked(PyUnicode_FromString(message.text)));
  }
  return dict;
}

}  // namespace

void add_constants(PyObject* module) {
  if (PyModule_AddObjectRef(module, "_DEFAULTS", defaults().get()) < 0) throw_pending();
  if (PyModule_AddObjectRef(module, "_MESSAGES", messages().get()) < 0) throw_pending();
}

}  // namespace quorbis::python::module
