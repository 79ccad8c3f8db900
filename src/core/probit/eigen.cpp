#include "core/probit/eigen.hpp"

#include <cmath>

namespace quorbis::core::probit {
namespace {

constexpr int kMaxSweeps = 50;

struct Rotation {
  double s, tau;
  // (g, h) = (m(i, j), m(k, l)) turned by the rotation.
  void apply(Matrix& m, std::size_t i, std::size_t j, std::size_t k, std::size_t l) const noexcept {
    const double g = m(i, j), h = m(k, l);
    m(i, j) = g - s * (h + g * tau);
    m(k, l) = h + s * (g - h * tau);
  }
};

bool finite(const Matrix& a) noexcept {
  for (double v : a.values()) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

double off_diagonal(const Matrix& a) noexcept {
  double sum = 0.0;
  for (std::size_t p = 0; p < a.rows(); ++p) {
    for (std::size_t q = p + 1; q < a.rows(); ++q) sum = sum + std::fabs(a(p, q));
  }
  return sum;
}

}  // namespace

std::optional<SymmetricEigen> symmetric_eigen(Matrix a) {
  const std::size_t n = a.rows();
  if (!finite(a)) return std::nullopt;
  SymmetricEigen out{Vector(n), Matrix(n, n)};
  Vector& d = out.values;
  Matrix& v = out.vectors;
  for (std::size_t p = 0; p < n; ++p) {
    v(p, p) = 1.0;
    d[p] = a(p, p);
  }
  Vector b = d, z(n, 0.0);  // the diagonal at the sweep's start, and its changes since, summed apart
  for (int sweep = 1; sweep <= kMaxSweeps; ++sweep) {
    const double sum = off_diagonal(a);
    if (sum == 0.0) return out;
    // The first sweeps skip small entries, which later sweeps take once the large ones are gone.
    const double threshold = sweep < 4 ? 0.2 * sum / static_cast<double>(n * n) : 0.0;
    for (std::size_t p = 0; p + 1 < n; ++p) {
      for (std::size_t q = p + 1; q < n; ++q) {
        const double g = 100.0 * std::fabs(a(p, q));
        // An entry below the rounding of both diagonal entries it couples is set to 0 without a rotation.
        if (sweep > 4 && std::fabs(d[p]) + g == std::fabs(d[p]) && std::fabs(d[q]) + g == std::fabs(d[q])) {
          a(p, q) = 0.0;
          continue;
        }
        if (!(std::fabs(a(p, q)) > threshold)) continue;
        double h = d[q] - d[p];
        double t;
        if (std::fabs(h) + g == std::fabs(h)) {
          t = a(p, q) / h;
        } else {
          const double theta = 0.5 * h / a(p, q);
          t = 1.0 / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
          if (theta < 0.0) t = -t;
        }
        const double c = 1.0 / std::sqrt(1.0 + t * t);
        const Rotation r{t * c, (t * c) / (1.0 + c)};
        h = t * a(p, q);
        z[p] = z[p] - h;
        z[q] = z[q] + h;
        d[p] = d[p] - h;
        d[q] = d[q] + h;
        a(p, q) = 0.0;
        for (std::size_t j = 0; j < p; ++j) r.apply(a, j, p, j, q);
        for (std::size_t j = p + 1; j < q; ++j) r.apply(a, p, j, j, q);
        for (std::size_t j = q + 1; j < n; ++j) r.apply(a, p, j, q, j);
        for (std::size_t j = 0; j < n; ++j) r.apply(v, j, p, j, q);
      }
    }
    for (std::size_t p = 0; p < n; ++p) {
      b[p] = b[p] + z[p];
      d[p] = b[p];
      z[p] = 0.0;
    }
  }
  return std::nullopt;
}

}  // namespace quorbis::core::probit
