#define QUORBIS_DEFINE_NUMPY_API
#include "python/numpy.hpp"

#include "core/platform.hpp"
#include "python/error.hpp"
#include "python/messages.hpp"

namespace quorbis::python {
namespace {

constexpr const char* kCapsuleName = "quorbis.buffer";

void free_capsule_buffer(PyObject* capsule) noexcept {
  core::aligned_free(PyCapsule_GetPointer(capsule, kCapsuleName));
}

bool is_float64(PyArrayObject* array) {
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
  bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), float64);
  Py_DECREF(float64);
  return equivalent;
}

}  // namespace

void ensure_numpy() {
  if (PyArray_ImportNumPyAPI() < 0) throw_pending();
}

std::string not_an_array_message(PyObject* obj) {
  return format(kNotAnArray, {{"type", type_qualname(obj)}});
}

PyArrayObject* as_float64_array(PyObject* obj, int ndim) {
  ensure_numpy();
  if (PyArray_Check(obj)) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) == ndim && is_float64(array)) return array;
  }
  raise(PyExc_TypeError, not_an_array_message(obj));
}

PyArrayObject* as_exog_argument(PyObject* obj) {
  ensure_numpy();
  if (!PyArray_Check(obj)) raise(PyExc_TypeError, not_an_array_message(obj));
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 2) {
    raise(PyExc_TypeError, format(kDimensionMismatch, {{"ndim", std::to_string(PyArray_NDIM(array))}}));
  }
  if (!is_float64(array)) {
    Ref text = checked(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    raise(PyExc_TypeError, format(kTypeMismatch, {{"dtype", utf8(text.get())}}));
  }
  return array;
}

VectorView vector_view(PyArrayObject* array) noexcept {
  return {PyArray_BYTES(array), PyArray_DIM(array, 0), PyArray_STRIDE(array, 0)};
}

MatrixView matrix_view(PyArrayObject* array) noexcept {
  return {PyArray_BYTES(array), PyArray_DIM(array, 0), PyArray_DIM(array, 1),
          PyArray_STRIDE(array, 0), PyArray_STRIDE(array, 1)};
}

namespace {

Ref array_out(Buffer buffer, int ndim, const npy_intp* dims, const npy_intp* strides) {
  ensure_numpy();
  Ref owner = checked(PyCapsule_New(buffer.data(), kCapsuleName, free_capsule_buffer));
  double* data = buffer.release();
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);  // stolen by the constructor
  Ref array = checked(PyArray_NewFromDescr(&PyArray_Type, float64, ndim, const_cast<npy_intp*>(dims),
                                           const_cast<npy_intp*>(strides), data,
                                           NPY_ARRAY_WRITEABLE, nullptr));
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
    throw_pending();
  }
  return array;
}

}  // namespace

Ref vector_out(Buffer buffer) {
  const npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
  const npy_intp strides[1] = {sizeof(double)};
  return array_out(std::move(buffer), 1, dims, strides);
}

Ref matrix_out(Buffer buffer, std::size_t rows, std::size_t cols, Order order) {
  const npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  const auto unit = static_cast<npy_intp>(sizeof(double));
  const npy_intp strides[2] = {order == Order::row_major ? dims[1] * unit : unit,
                               order == Order::row_major ? unit : dims[0] * unit};
  return array_out(std::move(buffer), 2, dims, strides);
}

}  // namespace quorbis::python
