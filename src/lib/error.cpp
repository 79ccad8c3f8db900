#include "lib/error.hpp"

namespace quorbis::lib {

void Error::restore() const {
  if (type_ != nullptr) PyErr_SetString(type_, message_.c_str());
}

std::string type_qualname(PyObject* obj) {
  Ref name = checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  return utf8(name.get());
}

std::string utf8(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw_pending();
  return std::string(data, static_cast<size_t>(size));
}

}  // namespace quorbis::lib
