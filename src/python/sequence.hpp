// Reading a Python sequence of str into owned UTF-8 strings.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

namespace quorbis::python {

// The items of a sequence of str, in order. A str itself is refused rather than split into
// characters; other non-sequences and non-str items raise TypeError, and failures of len(),
// iteration or UTF-8 encoding propagate unchanged.
std::vector<std::string> string_list(PyObject* sequence);

}  // namespace quorbis::python
