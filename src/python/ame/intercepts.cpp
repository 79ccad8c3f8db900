#include <Python.h>

#include "python/ame/intercepts.hpp"
#include "python/error.hpp"

namespace quorbis::python::ame {
namespace {

bool is_intercept_name(const std::string& name) {
  Ref text = checked(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
  Ref lower = checked(PyObject_CallMethod(text.get(), "lower", nullptr));
  return PyUnicode_CompareWithASCIIString(lower.get(), "const") == 0 ||
         PyUnicode_CompareWithASCIIString(lower.get(), "intercept") == 0;
}

}  // namespace

std::vector<bool> intercept_columns(const std::vector<std::string>& names) {
  std::vector<bool> intercept;
  intercept.reserve(names.size());
  for (const std::string& name : names) intercept.push_back(is_intercept_name(name));
  return intercept;
}

}  // namespace quorbis::python::ame
