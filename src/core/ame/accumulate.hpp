// The sums over one chunk of rows from which the effects and their Jacobian are built. With
// eta = x.b, f = phi(eta), and eta1 / eta0 the index with a dummy x_j set to 1 / 0 (f1, f0 their densities):
//   continuous j:  A_j += b_j sum f              G_jl += (sum (eta f) x_l)(-b_j), plus sum f when l = j
//   dummy j:       A_j += sum Phi(eta1) - sum Phi(eta0)      G_jl += sum (f1 - f0) x_l, or sum f1 when l = j
// (phi'(eta) = -eta phi(eta) gives the continuous rows.)
#pragma once

#include <cstddef>
#include <vector>

#include "core/ame/columns.hpp"
#include "core/column_block.hpp"
#include "core/strided.hpp"

namespace quorbis::core::ame {

class ChunkSums {
 public:
  // Rows arrive in blocks of at most block_rows; kinds must outlive this object.
  ChunkSums(const core::VectorView& params, const ColumnKinds& kinds, std::size_t k, std::size_t block_rows);

  // Starts a new chunk.
  void clear() noexcept;
  // Adds one block of the chunk's rows, at most block_rows of them.
  void add_block(const core::MatrixView& rows);
  // Adds the sums of part, rows that follow this object's rows in the same chunk.
  void add(const ChunkSums& part) noexcept;
  // Adds the chunk's terms to the effect accumulator (k) and the Jacobian accumulator (k x k, row-major).
  void add_to(std::vector<double>& effects, std::vector<double>& jacobian) const;

 private:
  void add_dummies(const core::ColumnBlock& x, std::size_t m);

  std::vector<double> params_;
  const ColumnKinds& kinds_;
  std::size_t k_;

  // Block-length scratch: eta, f, eta f, five vectors for the dummies, and the block's columns when
  // they are not laid out in memory as a ColumnBlock.
  std::vector<double> eta_, pdf_, weight_, dummy_scratch_, tile_;

  // Sums over the chunk so far.
  double pdf_sum_ = 0.0;
  std::vector<double> eta_x_pdf_;                    // per column l: sum (eta x_l) f
  std::vector<double> cdf1_sum_, cdf0_sum_, pdf1_sum_;  // per dummy
  std::vector<double> pdf_difference_x_;             // per dummy, per column l: sum (f1 - f0) x_l
};

}  // namespace quorbis::core::ame
