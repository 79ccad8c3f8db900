#include "core/probit/matrix.hpp"

namespace quorbis::core::probit {

double dot(const Vector& a, const Vector& b) noexcept {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

Vector multiply(const Matrix& m, const Vector& v) {
  Vector out(m.rows());
  for (std::size_t i = 0; i < m.rows(); ++i) {
    double sum = 0.0;
    for (std::size_t j = 0; j < m.cols(); ++j) sum += m(i, j) * v[j];
    out[i] = sum;
  }
  return out;
}

Matrix multiply(const Matrix& a, const Matrix& b) {
  Matrix out(a.rows(), b.cols());
  for (std::size_t i = 0; i < a.rows(); ++i) {
    for (std::size_t l = 0; l < a.cols(); ++l) {
      const double factor = a(i, l);
      const double* b_row = b.row(l);
      double* out_row = out.row(i);
      for (std::size_t j = 0; j < b.cols(); ++j) out_row[j] += factor * b_row[j];
    }
  }
  return out;
}

Matrix negated(Matrix m) {
  for (std::size_t i = 0; i < m.rows(); ++i) {
    for (std::size_t j = 0; j < m.cols(); ++j) m(i, j) = -m(i, j);
  }
  return m;
}

}  // namespace quorbis::core::probit
