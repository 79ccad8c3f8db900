#include "python/convert.hpp"

#include "python/error.hpp"
#include "python/messages.hpp"

namespace quorbis::python {

std::uint64_t to_u64(PyObject* obj) {
  Ref index = checked(PyNumber_Index(obj));
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
  return value;
}

double to_double(PyObject* obj) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw_pending();
  return value;
}

bool to_bool(PyObject* obj) {
  if (!PyBool_Check(obj)) {
    raise(PyExc_TypeError, format(kCannotConvert, {{"type", type_qualname(obj)}, {"target", "PyBool"}}));
  }
  return obj == Py_True;
}

}  // namespace quorbis::python
