#include "python/fit/design_matrix.hpp"

#include <array>
#include <vector>

#include "core/probit/working_copy.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/numpy.hpp"
#include "python/unlocked.hpp"

namespace quorbis::python::fit {
namespace {

constexpr std::array<const char*, 2> kParams = {"columns", "rows"};
constexpr Signature kSignature = {"_design_matrix", kParams, 2};

// Views of the columns, held by columns (a list or tuple that must outlive them); an empty view for None.
std::vector<VectorView> column_views(PyObject* columns, std::ptrdiff_t rows) {
  const Py_ssize_t k = PySequence_Fast_GET_SIZE(columns);
  std::vector<VectorView> views(static_cast<std::size_t>(k));
  for (Py_ssize_t j = 0; j < k; ++j) {
    PyObject* column = PySequence_Fast_GET_ITEM(columns, j);
    if (column == Py_None) continue;
    views[static_cast<std::size_t>(j)] = vector_view(as_float64_array(column, 1));
    if (views[static_cast<std::size_t>(j)].size != rows) raise(PyExc_ValueError, "every column must have rows entries");
  }
  return views;
}

}  // namespace

PyObject* design_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    std::array<PyObject*, kParams.size()> slot{};
    bind_arguments(kSignature, args, nargsf, kwnames, slot);
    Ref columns = checked(PySequence_Fast(slot[0], "columns must be a sequence"));
    const auto rows = static_cast<std::size_t>(convert_argument("rows", [&] { return to_u64(slot[1]); }));
    const std::vector<VectorView> views = column_views(columns.get(), static_cast<std::ptrdiff_t>(rows));
    core::probit::GatheredColumns gathered =
        without_lock([&] { return core::probit::gather_columns(views, rows); });
    Ref finite = checked(PyList_New(static_cast<Py_ssize_t>(views.size())));
    for (std::size_t j = 0; j < views.size(); ++j) {
      PyList_SET_ITEM(finite.get(), static_cast<Py_ssize_t>(j), Py_NewRef(gathered.finite[j] ? Py_True : Py_False));
    }
    Ref matrix = matrix_out(std::move(gathered.design), rows, views.size(), Order::column_major);
    return checked(PyTuple_Pack(2, matrix.get(), finite.get()));
  });
}

}  // namespace quorbis::python::fit
