#include "python/blocks/sums.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "python/error.hpp"
#include "python/numpy.hpp"

namespace quorbis::python::blocks {
namespace {

using core::probit::Matrix;
using core::probit::Vector;
using core::probit::Wants;

constexpr std::array<const char*, 5> kSumNames = {"loglike", "gradient", "hessian", "gram", "score_outer_sum"};

bool flag(PyObject* dict, const char* name) {
  PyObject* value = PyDict_GetItemString(dict, name);  // borrowed
  if (value == nullptr) return false;
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) throw_pending();
  return truth == 1;
}

}  // namespace

Ref out_vector(const Vector& v) {
  Buffer buffer(v.size());
  std::copy(v.begin(), v.end(), buffer.data());
  return vector_out(std::move(buffer));
}

Ref out_matrix(const Matrix& m) {
  Buffer buffer = Buffer::matrix(m.rows(), m.cols());
  std::copy(m.values().begin(), m.values().end(), buffer.data());
  return matrix_out(std::move(buffer), m.rows(), m.cols(), Order::row_major);
}

Vector in_vector(PyObject* obj, std::size_t size, const char* what) {
  const VectorView v = vector_view(as_float64_array(obj, 1));
  if (static_cast<std::size_t>(v.size) != size) {
    raise(PyExc_ValueError, cat({what, " must have ", std::to_string(size), " entries"}));
  }
  Vector out(size);
  for (std::size_t j = 0; j < size; ++j) out[j] = v[static_cast<std::ptrdiff_t>(j)];
  return out;
}

Matrix in_matrix(PyObject* obj, std::size_t k, const char* what) {
  const MatrixView m = matrix_view(as_float64_array(obj, 2));
  if (m.rows != static_cast<std::ptrdiff_t>(k) || m.cols != static_cast<std::ptrdiff_t>(k)) {
    raise(PyExc_ValueError, cat({what, " must be ", std::to_string(k), " x ", std::to_string(k)}));
  }
  Matrix out(k, k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) out(r, c) = m(static_cast<std::ptrdiff_t>(r), static_cast<std::ptrdiff_t>(c));
  }
  return out;
}

// Wants as a dict of flags, the names of Wants' members; "clusters" stands for the cluster sums.
Ref wants_dict(const Wants& wants) {
  Ref dict = checked(PyDict_New());
  const std::array<bool, 6> flags = {wants.loglike, wants.gradient, wants.hessian, wants.gram, wants.score_outer_sum,
                                     wants.clusters != nullptr};
  for (std::size_t i = 0; i < flags.size(); ++i) {
    const char* name = i < kSumNames.size() ? kSumNames[i] : "clusters";
    if (PyDict_SetItemString(dict.get(), name, flags[i] ? Py_True : Py_False) < 0) throw_pending();
  }
  return dict;
}

Wants wants_of(PyObject* dict) {
  if (!PyDict_Check(dict)) raise(PyExc_TypeError, "wants must be a dict");
  return {.loglike = flag(dict, "loglike"),
          .gradient = flag(dict, "gradient"),
          .hessian = flag(dict, "hessian"),
          .gram = flag(dict, "gram"),
          .score_outer_sum = flag(dict, "score_outer_sum"),
          .clusters = flag(dict, "clusters") ? &kClustersWanted : nullptr};
}

void set_item(PyObject* dict, const char* name, Ref value) {
  if (PyDict_SetItemString(dict, name, value.get()) < 0) throw_pending();
}

}  // namespace quorbis::python::blocks
