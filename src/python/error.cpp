#include "python/error.hpp"

namespace quorbis::python {

void Error::restore() const {
  if (type_ != nullptr) PyErr_SetString(type_, message_.c_str());
}

DeferredError::DeferredError(Error error) : error_(std::move(error)) {
  if (!error_.is_pending()) return;
#if PY_VERSION_HEX >= 0x030C0000
  value_ = Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  type_ = Ref::steal(type), value_ = Ref::steal(value), traceback_ = Ref::steal(traceback);
#endif
}

void DeferredError::raise() {
  if (error_.is_pending()) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_.release());
#else
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
  }
  throw error_;
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

}  // namespace quorbis::python
