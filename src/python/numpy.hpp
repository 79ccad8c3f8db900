// Access to NumPy's C API: the lazily fetched API table, float64 array tests and arrays handed out.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL quorbis_ARRAY_API
#ifndef QUORBIS_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <string>

#include "core/buffer.hpp"
#include "core/strided.hpp"
#include "python/ref.hpp"

namespace quorbis::python {

using core::Buffer;
using core::MatrixView;
using core::VectorView;

// Fetches NumPy's API table on first use; a failure leaves a Python error pending.
void ensure_numpy();

// The message for an object that is not a float64 array of the wanted dimensions.
std::string not_an_array_message(PyObject* obj);

// obj as an ndarray of ndim dimensions and float64-equivalent dtype (borrowed), or TypeError.
PyArrayObject* as_float64_array(PyObject* obj, int ndim);

// The design-matrix argument: like as_float64_array(obj, 2) but says which test failed.
PyArrayObject* as_exog_argument(PyObject* obj);

VectorView vector_view(PyArrayObject* array) noexcept;
MatrixView matrix_view(PyArrayObject* array) noexcept;

// New writeable float64 arrays over an owned buffer, without copying it: the array's base owns the
// buffer and frees it when the array dies. Each returns a new reference and steals buffer.
Ref vector_out(Buffer buffer);
enum class Order { row_major, column_major };
Ref matrix_out(Buffer buffer, std::size_t rows, std::size_t cols, Order order);

}  // namespace quorbis::python
