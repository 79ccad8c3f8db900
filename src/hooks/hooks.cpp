// _quorbis_hooks: internals exposed to the test suite in instrumented builds only.
#include <Python.h>

#include "lib/boundary.hpp"
#include "lib/error.hpp"

namespace {

using namespace quorbis::lib;

// Raises an internal fault through the same boundary every public entry point uses.
PyObject* trigger_fault(PyObject*, PyObject*) {
  return guarded([]() -> Ref { fault("assertion failed: index < dim"); });
}

PyMethodDef hook_functions[] = {
    {"trigger_fault", trigger_fault, METH_NOARGS, "Raise an internal fault (PanicException)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef hooks_def = {PyModuleDef_HEAD_INIT, "_quorbis_hooks", "Test hooks of quorbis.", -1, hook_functions,
                         nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quorbis_hooks() { return PyModule_Create(&hooks_def); }
