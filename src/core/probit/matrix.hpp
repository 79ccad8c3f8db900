// Small dense row-major matrices and the few products the estimators need.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace quorbis::core::probit {

using Vector = std::vector<double>;

class Matrix {
 public:
  Matrix() = default;
  Matrix(std::size_t rows, std::size_t cols, double fill = 0.0)
      : rows_(rows), cols_(cols), data_(checked_size(rows, cols), fill) {}

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  double& operator()(std::size_t i, std::size_t j) noexcept { return data_[i * cols_ + j]; }
  double operator()(std::size_t i, std::size_t j) const noexcept { return data_[i * cols_ + j]; }
  double* row(std::size_t i) noexcept { return data_.data() + i * cols_; }
  const double* row(std::size_t i) const noexcept { return data_.data() + i * cols_; }
  const std::vector<double>& values() const noexcept { return data_; }

 private:
  // rows * cols must not wrap around: a wrapped size would leave the indices reaching past the storage.
  static std::size_t checked_size(std::size_t rows, std::size_t cols) {
    if (cols != 0 && rows > std::vector<double>().max_size() / cols) throw std::bad_alloc();
    return rows * cols;
  }

  std::size_t rows_ = 0, cols_ = 0;
  std::vector<double> data_;
};

// a . b, summed from 0.0 in index order.
double dot(const Vector& a, const Vector& b) noexcept;

// m . v, each entry summed in column order.
Vector multiply(const Matrix& m, const Vector& v);

// a . b.
Matrix multiply(const Matrix& a, const Matrix& b);

// Every entry negated.
Matrix negated(Matrix m);

}  // namespace quorbis::core::probit
