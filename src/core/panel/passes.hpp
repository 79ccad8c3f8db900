// The passes over the rows of a probit with fixed effects. At slopes b and effects a the index of row i is
// eta_i = x_i.b + o_c, o_c the sum of the effects of its cell c; a pass runs over the layout's tasks, each
// sum in row order within its task (a cell's within the task that holds it), the tasks' sums added in task
// order: the bits do not depend on the number of threads.
#pragma once

#include <cstddef>
#include <vector>

#include "core/buffer.hpp"
#include "core/panel/layout.hpp"
#include "core/panel/projection.hpp"
#include "core/probit/matrix.hpp"

namespace quorbis::core::panel {

using probit::Matrix;
using probit::Vector;

// Of every row, from the last pass that set them: lambda = d/d eta ln Phi(q eta), q = 2y - 1, and a weight,
// the curvature w = -d2/d eta2 ln Phi(q eta) or another one a caller puts there.
struct RowTerms {
  explicit RowTerms(std::size_t rows) : weight(rows), lambda(rows) {}
  Buffer weight, lambda;
};

// The cells' sums a likelihood pass adds: those of the working residual lambda / w alone, or those of the
// columns and the residual.
enum class CellSumsOf { residual, columns_and_residual };

struct Likelihood {
  double loglike = 0.0;
  CellSums sums;  // sum w x_j for the columns j < k, then sum lambda (= sum w (lambda / w))
};

// ln L at (beta, offsets), with lambda and w of every row into terms, and the cells' sums asked for, into
// out (whose buffers are reused).
void likelihood_pass(const Layout& layout, const Vector& beta, const std::vector<double>& offsets, RowTerms& terms,
                     CellSumsOf cell_sums, Likelihood& out);

struct DemeanedWants {
  bool gradient = false;      // offsets hold a k + 1st column, the working residual's
  bool raw_diagonal = false;
  bool score_outer = false;
};

// With x~_i = x_i - the offsets of row i's cell (width k, or k + 1 with the working residual's last) and
// the weights w of terms: the Hessian -sum w x~ x~', the Newton gradient sum x~ (lambda - w r~) with r~ the
// residual's offset, sum w x_j^2 of the columns as they are, and sum lambda^2 x~ x~'.
struct Demeaned {
  Matrix hessian;
  Vector gradient, raw_diagonal;
  Matrix score_outer;
};
Demeaned demeaned_pass(const Layout& layout, const RowTerms& terms, const std::vector<double>& offsets,
                       std::size_t width, DemeanedWants wants);

// u_g = sum over the rows of g of lambda x~ (offsets of width k) for the layout's clusters, column by column
// (entry j of u_g at j * clusters + g).
Vector cluster_sums(const Layout& layout, const RowTerms& terms, const std::vector<double>& offsets);

// ln Phi(z), lambda and w of count rows with outcomes y at indices eta, z = (2y - 1) eta.
void row_terms(const double* y, const double* eta, std::size_t count, double* log_cdf, double* lambda,
               double* weight);

// The index eta of the rows begin .. begin + count - 1 of a block starting in cell.
void block_index(const Layout& layout, const Vector& beta, const std::vector<double>& offsets, std::size_t begin,
                 std::size_t count, std::size_t cell, double* eta);

}  // namespace quorbis::core::panel
