#include "python/blocks/block_sums.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "core/probit/clusters.hpp"
#include "core/probit/optimizer.hpp"
#include "core/probit/probit.hpp"
#include "core/probit/working_copy.hpp"
#include "python/binding.hpp"
#include "python/blocks/sums.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/numpy.hpp"
#include "python/row_weights.hpp"
#include "python/unlocked.hpp"

namespace quorbis::python::blocks {
namespace {

namespace probit = core::probit;
using probit::Evaluation;
using probit::Wants;

// The labels of the block's clusters, in id order (the order of first appearance), and their values (the
// rows of the cluster variables).
std::pair<Ref, Ref> cluster_labels(const MatrixView& values, const probit::Clusters& clusters) {
  Ref list = checked(PyList_New(0));
  const auto columns = static_cast<std::size_t>(values.cols);
  Buffer cells = Buffer::matrix(clusters.count, columns);
  std::string label;
  std::size_t next = 0;
  for (std::size_t i = 0; i < clusters.of_row.size() && next < clusters.count; ++i) {
    if (clusters.of_row[i] != next) continue;
    probit::cluster_label(values, static_cast<std::ptrdiff_t>(i), label);
    Ref text = checked(PyUnicode_FromStringAndSize(label.data(), static_cast<Py_ssize_t>(label.size())));
    if (PyList_Append(list.get(), text.get()) < 0) throw_pending();
    for (std::size_t j = 0; j < columns; ++j) {
      cells.data()[next * columns + j] = values(static_cast<std::ptrdiff_t>(i), static_cast<std::ptrdiff_t>(j));
    }
    ++next;
  }
  return {std::move(list), matrix_out(std::move(cells), clusters.count, columns, Order::row_major)};
}

constexpr std::array<const char*, 7> kBlockParams = {"endog",        "exog",    "beta",     "wants",
                                                     "cluster_vars", "weights", "frequency"};
constexpr Signature kBlockSignature = {"_block_sums", kBlockParams, 4};

}  // namespace

PyObject* block_sums(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    std::array<PyObject*, kBlockParams.size()> slot{};
    bind_arguments(kBlockSignature, args, nargsf, kwnames, slot);
    const VectorView y = vector_view(as_float64_array(slot[0], 1));
    const MatrixView x = matrix_view(as_exog_argument(slot[1]));
    if (x.rows != y.size) raise(PyExc_ValueError, "endog and exog must have the same rows");
    const auto k = static_cast<std::size_t>(x.cols);
    probit::Request request{in_vector(slot[2], k, "beta"), wants_of(slot[3])};
    MatrixView values{};
    if (request.wants.clusters != nullptr) {
      if (!given(slot[4])) raise(PyExc_ValueError, "the cluster sums need cluster_vars");
      values = matrix_view(as_float64_array(slot[4], 2));
      if (values.rows != y.size) raise(PyExc_ValueError, "cluster_vars must have the rows of endog");
    }
    const bool frequency = given(slot[6]) && convert_argument("frequency", [&] { return to_bool(slot[6]); });
    const RowWeightsInput weights = given(slot[5]) ? read_weights(slot[5], y.size, frequency) : RowWeightsInput{};
    const probit::RowWeights row_weights{weights.data,
                                         frequency ? probit::Weighting::frequency : probit::Weighting::probability};
    probit::Clusters clusters;
    const Evaluation sums = without_lock([&] {
      const Buffer endog = probit::copy_vector(y);
      const Buffer design = probit::copy_column_major(x);
      if (request.wants.clusters != nullptr) {
        clusters = probit::combine_cluster_keys(values);
        request.wants.clusters = &clusters;
      }
      const probit::Probit block(endog.data(), endog.size(), {design.data(), endog.size(), k}, row_weights);
      return probit::answer(block, request);
    });
    Ref out = checked(PyDict_New());
    const Wants& w = request.wants;
    if (w.loglike) set_item(out.get(), "loglike", checked(PyFloat_FromDouble(sums.loglike)));
    if (w.gradient) set_item(out.get(), "gradient", out_vector(sums.gradient));
    if (w.hessian) set_item(out.get(), "hessian", out_matrix(sums.hessian));
    if (w.gram) set_item(out.get(), "gram", out_matrix(sums.gram));
    if (w.score_outer_sum) set_item(out.get(), "score_outer_sum", out_matrix(sums.score_outer_sum));
    if (w.clusters != nullptr) {
      auto [labels, cells] = cluster_labels(values, clusters);
      set_item(out.get(), "labels", std::move(labels));
      set_item(out.get(), "cells", std::move(cells));
      Buffer u(sums.cluster_sums.size());
      std::copy(sums.cluster_sums.begin(), sums.cluster_sums.end(), u.data());
      set_item(out.get(), "cluster_sums", matrix_out(std::move(u), clusters.count, k, Order::column_major));
    }
    return out;
  });
}

}  // namespace quorbis::python::blocks
