// The facts that the Python layer reads from the extension instead of retyping them: the defaults of a
// fit and the thread cap (_DEFAULTS), and the templates of the error messages that it raises too
// (_MESSAGES, see python/messages.hpp).
#pragma once

#include <Python.h>

namespace quorbis::python::module {

// Adds _DEFAULTS and _MESSAGES to module.
void add_constants(PyObject* module);

}  // namespace quorbis::python::module
