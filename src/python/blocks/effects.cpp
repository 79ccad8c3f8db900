#include "python/blocks/effects.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ame/columns.hpp"
#include "core/ame/effects.hpp"
#include "core/probit/matrix.hpp"
#include "python/ame/intercepts.hpp"
#include "python/ame/table.hpp"
#include "python/binding.hpp"
#include "python/blocks/sums.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/numpy.hpp"
#include "python/sequence.hpp"
#include "python/unlocked.hpp"

namespace quorbis::python::blocks {
namespace {

using core::probit::Matrix;

constexpr std::array<const char*, 5> kEffectParams = {"exog", "params", "names", "dummies", "chunk_size"};
constexpr Signature kEffectSignature = {"_effect_sums", kEffectParams, 5};

constexpr std::array<const char*, 5> kTableParams = {"effects", "jacobian", "nobs", "cov", "names"};
constexpr Signature kTableSignature = {"_effects_table", kTableParams, 5};

core::ame::ColumnKinds kinds_of(PyObject* dummies, const std::vector<bool>& intercept) {
  Ref flags = checked(PySequence_Fast(dummies, "dummies must be a sequence"));
  if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(flags.get())) != intercept.size()) {
    raise(PyExc_ValueError, "one dummy flag per column");
  }
  std::vector<bool> dummy(intercept.size());
  for (std::size_t j = 0; j < intercept.size(); ++j) {
    if (!intercept[j]) dummy[j] = to_bool(PySequence_Fast_GET_ITEM(flags.get(), static_cast<Py_ssize_t>(j)));
  }
  return core::ame::kinds_of(dummy, intercept);
}

}  // namespace

PyObject* dummy_columns(PyObject*, PyObject* exog) noexcept {
  return guarded([&] {
    const MatrixView x = matrix_view(as_exog_argument(exog));
    const std::vector<bool> flags =
        without_lock([&] { return core::ame::dummy_columns(x, std::vector<bool>(static_cast<std::size_t>(x.cols))); });
    Ref list = checked(PyList_New(x.cols));
    for (std::ptrdiff_t j = 0; j < x.cols; ++j) {
      PyList_SET_ITEM(list.get(), j, Py_NewRef(flags[static_cast<std::size_t>(j)] ? Py_True : Py_False));
    }
    return list;
  });
}

PyObject* effect_sums(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    std::array<PyObject*, kEffectParams.size()> slot{};
    bind_arguments(kEffectSignature, args, nargsf, kwnames, slot);
    const MatrixView x = matrix_view(as_exog_argument(slot[0]));
    const VectorView params = vector_view(as_float64_array(slot[1], 1));
    const std::vector<bool> intercept = ame::intercept_columns(string_list(slot[2]));
    if (params.size != x.cols || intercept.size() != static_cast<std::size_t>(x.cols)) {
      raise(PyExc_ValueError, "params and names must match the columns of exog");
    }
    const core::ame::ColumnKinds kinds = kinds_of(slot[3], intercept);
    const auto rows = static_cast<std::uint64_t>(x.rows);
    const std::uint64_t chunk = given(slot[4]) ? to_u64(slot[4]) : rows;
    const core::ame::EffectSums sums =
        without_lock([&] { return core::ame::effect_sums(x, params, kinds, chunk == 0 ? 1 : chunk); });
    Ref effects = out_vector(sums.effects);
    Buffer jacobian(sums.jacobian.size());
    std::copy(sums.jacobian.begin(), sums.jacobian.end(), jacobian.data());
    Ref g = matrix_out(std::move(jacobian), intercept.size(), intercept.size(), Order::row_major);
    return checked(PyTuple_Pack(2, effects.get(), g.get()));
  });
}

PyObject* effects_table(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    std::array<PyObject*, kTableParams.size()> slot{};
    bind_arguments(kTableSignature, args, nargsf, kwnames, slot);
    const std::vector<std::string> names = string_list(slot[4]);
    const std::size_t k = names.size();
    const Matrix jacobian = in_matrix(slot[1], k, "jacobian");
    const core::ame::EffectSums sums{in_vector(slot[0], k, "effects"), jacobian.values()};
    const MatrixView cov = matrix_view(as_float64_array(slot[3], 2));
    if (cov.rows != static_cast<std::ptrdiff_t>(k) || cov.cols != static_cast<std::ptrdiff_t>(k)) {
      raise(PyExc_ValueError, "cov must be k x k");
    }
    const std::vector<bool> intercept = ame::intercept_columns(names);
    return ame::effects_table(core::ame::effects_from_sums(sums, to_u64(slot[2]), cov, intercept), names);
  });
}

}  // namespace quorbis::python::blocks
