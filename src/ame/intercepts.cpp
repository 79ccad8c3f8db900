#include <Python.h>

#include "ame/intercepts.hpp"

#include "lib/error.hpp"

namespace quorbis::ame {
namespace {

bool is_intercept_name(const std::string& name) {
  lib::Ref text = lib::checked(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
  lib::Ref lower = lib::checked(PyObject_CallMethod(text.get(), "lower", nullptr));
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

}  // namespace quorbis::ame
