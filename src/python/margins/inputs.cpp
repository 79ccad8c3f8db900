#include "python/margins/inputs.hpp"

#include <array>
#include <cmath>
#include <string>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/error.hpp"
#include "python/numpy.hpp"

namespace quorbis::python::margins {
namespace {

using core::margins::Entry;

constexpr std::array<const char*, 7> kMarginParams = {"exog",        "params",      "extras",  "scenarios",
                                                      "predictions", "derivatives", "weights"};
constexpr Signature kMarginSignature = {"_margin_sums", kMarginParams, 6};
constexpr std::array<const char*, 5> kPredictParams = {"exog", "params", "cov", "z", "linear"};
constexpr Signature kPredictSignature = {"_predict", kPredictParams, 2};

// The items of a sequence, kept alive by the returned list or tuple.
Ref items(PyObject* sequence, const char* what) {
  return checked(PySequence_Fast(sequence, (std::string(what) + " must be a sequence").c_str()));
}

Py_ssize_t size(const Ref& fast) { return PySequence_Fast_GET_SIZE(fast.get()); }
PyObject* item(const Ref& fast, Py_ssize_t i) { return PySequence_Fast_GET_ITEM(fast.get(), i); }

// A whole number in [low, high) held exactly by a double.
std::ptrdiff_t index_in(double value, std::ptrdiff_t low, std::ptrdiff_t high, const char* what) {
  if (!(value >= static_cast<double>(low) && value < static_cast<double>(high)) || std::floor(value) != value) {
    raise(PyExc_ValueError, cat({what, " out of range: ", std::to_string(value)}));
  }
  return static_cast<std::ptrdiff_t>(value);
}

std::size_t position(PyObject* obj, std::size_t count, const char* what) {
  const std::uint64_t i = to_u64(obj);
  if (i >= count) raise(PyExc_ValueError, cat({what, " out of range: ", std::to_string(i)}));
  return static_cast<std::size_t>(i);
}

VectorView rows_vector(PyObject* obj, std::ptrdiff_t n, const char* what) {
  const VectorView v = vector_view(as_float64_array(obj, 1));
  if (v.size != n) raise(PyExc_ValueError, cat({what, " must have ", std::to_string(n), " values"}));
  return v;
}

// Rows (column, constant, source) of a float64 array of shape (r, 3), each column at most once.
std::vector<Entry> entries(PyObject* obj, std::ptrdiff_t k, std::ptrdiff_t extras) {
  const MatrixView m = matrix_view(as_float64_array(obj, 2));
  if (m.cols != 3) raise(PyExc_ValueError, "entries must have 3 columns");
  std::vector<Entry> out;
  std::vector<bool> seen(static_cast<std::size_t>(k));
  for (std::ptrdiff_t r = 0; r < m.rows; ++r) {
    const auto column = static_cast<std::size_t>(index_in(m(r, 0), 0, k, "entry column"));
    if (seen[column]) raise(PyExc_ValueError, "an entry column repeats");
    seen[column] = true;
    out.push_back({column, m(r, 1), index_in(m(r, 2), -1, extras, "entry source")});
  }
  return out;
}

}  // namespace

MarginInputs read_margin_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, kMarginParams.size()> slot{};
  bind_arguments(kMarginSignature, args, nargsf, kwnames, slot);
  MarginInputs in;
  core::margins::MarginProblem& p = in.problem;
  p.exog = matrix_view(as_exog_argument(slot[0]));
  const std::ptrdiff_t n = p.exog.rows, k = p.exog.cols;
  p.params = rows_vector(slot[1], k, "params");
  Ref extras = items(slot[2], "extras");
  // Each array held on its own: another thread may change the sequence while the core reads them.
  for (Py_ssize_t e = 0; e < size(extras); ++e) {
    p.extras.push_back(rows_vector(item(extras, e), n, "an extra column"));
    in.owners.push_back(Ref::borrow(item(extras, e)));
  }
  const auto extra_count = static_cast<std::ptrdiff_t>(p.extras.size());
  Ref scenarios = items(slot[3], "scenarios");
  for (Py_ssize_t s = 0; s < size(scenarios); ++s) p.scenarios.push_back({entries(item(scenarios, s), k, extra_count)});
  Ref predictions = items(slot[4], "predictions");
  for (Py_ssize_t q = 0; q < size(predictions); ++q) {
    p.predictions.push_back(position(item(predictions, q), p.scenarios.size(), "scenario"));
  }
  Ref derivatives = items(slot[5], "derivatives");
  for (Py_ssize_t d = 0; d < size(derivatives); ++d) {
    Ref pair = items(item(derivatives, d), "a derivative");
    if (size(pair) != 2) raise(PyExc_ValueError, "a derivative is a pair (scenario, entries)");
    p.derivatives.push_back({position(item(pair, 0), p.scenarios.size(), "scenario"),
                             entries(item(pair, 1), k, extra_count)});
  }
  if (given(slot[6])) p.weights = rows_vector(slot[6], n, "weights");
  return in;
}

core::margins::PredictionProblem read_prediction_arguments(PyObject* const* args, Py_ssize_t nargsf,
                                                           PyObject* kwnames) {
  std::array<PyObject*, kPredictParams.size()> slot{};
  bind_arguments(kPredictSignature, args, nargsf, kwnames, slot);
  core::margins::PredictionProblem p;
  p.exog = matrix_view(as_exog_argument(slot[0]));
  p.params = rows_vector(slot[1], p.exog.cols, "params");
  if (given(slot[2])) {
    const MatrixView cov = matrix_view(as_float64_array(slot[2], 2));
    if (cov.rows != p.exog.cols || cov.cols != p.exog.cols) raise(PyExc_ValueError, "cov must be k x k");
    p.cov = cov;
  }
  if (given(slot[3])) p.z = to_double(slot[3]);
  if (given(slot[4])) p.linear = to_bool(slot[4]);
  return p;
}

}  // namespace quorbis::python::margins
