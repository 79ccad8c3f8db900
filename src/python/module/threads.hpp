// set_num_threads and get_num_threads: the size of the thread pool on which fit_probit and ame compute.
#pragma once

#include <Python.h>

namespace quorbis::python::module {

// The module functions (METH_O and METH_NOARGS, with their docstrings), ending with a sentinel.
extern PyMethodDef thread_functions[];

}  // namespace quorbis::python::module
