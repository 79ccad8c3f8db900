// Eigenvalues and eigenvectors of a small symmetric matrix by cyclic Jacobi rotations (the threshold
// scheme of Rutishauser, 1971): every sweep visits the entries above the diagonal in a fixed order, so the
// result depends on the matrix alone.
#pragma once

#include <optional>

#include "core/probit/matrix.hpp"

namespace quorbis::core::probit {

struct SymmetricEigen {
  Vector values;   // in no particular order
  Matrix vectors;  // column j the unit eigenvector of values[j]
};

// Reads the upper triangle of a; nothing when an entry is not finite, or 50 sweeps leave an entry.
std::optional<SymmetricEigen> symmetric_eigen(Matrix a);

}  // namespace quorbis::core::probit
