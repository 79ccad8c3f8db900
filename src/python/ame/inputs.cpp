#include "python/ame/inputs.hpp"

#include <array>

#include "python/ame/intercepts.hpp"
#include "python/binding.hpp"
#include "python/error.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"
#include "python/sequence.hpp"

namespace quorbis::python::ame {
namespace {

constexpr std::array<const char*, 2> kParams = {"probit_model", "chunk_size"};
constexpr Signature kSignature = {"ame", kParams, 1};


// obj itself when it is a float64 ndarray of ndim dimensions, else TypeError.
Ref float64_array(Ref obj, int ndim) {
  as_float64_array(obj.get(), ndim);
  return obj;
}

Ref model_attribute(PyObject* probit_model, const char* name) {
  Ref model = checked(PyObject_GetAttrString(probit_model, "model"));
  return checked(PyObject_GetAttrString(model.get(), name));
}

PyArrayObject* array(const Ref& obj) { return reinterpret_cast<PyArrayObject*>(obj.get()); }

std::string shape_text(const Ref& obj) {
  std::string text = "(";
  for (int d = 0; d < PyArray_NDIM(array(obj)); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(PyArray_DIM(array(obj), d));
  }
  return text + (PyArray_NDIM(array(obj)) == 1 ? ",)" : ")");
}

// "params has shape (3,), expected (2,) for exog with 2 columns"
[[noreturn]] void shape_mismatch(const char* what, const std::string& actual, const std::string& expected,
                                 npy_intp k) {
  raise(PyExc_ValueError, cat({what, " has ", actual, ", expected ", expected, " for exog with ",
                                         std::to_string(k), k == 1 ? " column" : " columns"}));
}

void check_shapes(const ModelInputs& in) {
  const npy_intp k = PyArray_DIM(array(in.exog), 1);
  const std::string k_text = std::to_string(k);
  if (PyArray_DIM(array(in.params), 0) != k) {
    shape_mismatch("params", cat({"shape ", shape_text(in.params)}), cat({"(", k_text, ",)"}), k);
  }
  if (PyArray_DIM(array(in.cov), 0) != k || PyArray_DIM(array(in.cov), 1) != k) {
    shape_mismatch("cov_params()", cat({"shape ", shape_text(in.cov)}),
                   cat({"(", k_text, ", ", k_text, ")"}), k);
  }
  if (in.names.size() != static_cast<std::size_t>(k)) {
    shape_mismatch("exog_names", cat({std::to_string(in.names.size()), in.names.size() == 1 ? " name" : " names"}),
                   k_text, k);
  }
}

// The first failure ends the reading; later attributes are not looked up.
ModelInputs read_inputs(PyObject* probit_model) {
  ModelInputs in;
  in.params = float64_array(checked(PyObject_GetAttrString(probit_model, "params")), 1);
  in.cov = float64_array(checked(PyObject_CallMethod(probit_model, "cov_params", nullptr)), 2);
  in.names = string_list(model_attribute(probit_model, "exog_names").get());
  in.exog = float64_array(model_attribute(probit_model, "exog"), 2);
  return in;
}

// Call it after the last call into Python code that could change the arrays.
core::ame::ProbitFit views_of(const ModelInputs& in) {
  // Getters and cov_params() ran after the first arrays were checked; in-place reshaping would show here.
  PyArrayObject* params = as_float64_array(in.params.get(), 1);
  PyArrayObject* cov = as_float64_array(in.cov.get(), 2);
  PyArrayObject* exog = as_float64_array(in.exog.get(), 2);
  check_shapes(in);
  return {matrix_view(exog), vector_view(params), matrix_view(cov)};
}

}  // namespace

AmeInputs read_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, kParams.size()> slot{};
  bind_arguments(kSignature, args, nargsf, kwnames, slot);
  AmeInputs in;
  in.chunk_size = optional_argument<std::uint64_t>(slot[1], "chunk_size", to_u64);
  if (in.chunk_size && *in.chunk_size == 0) raise(PyExc_ValueError, format(kChunkSize, {}));
  in.model = read_inputs(slot[0]);
  in.intercept = intercept_columns(in.model.names);
  in.fit = views_of(in.model);  // after the last call into Python code
  return in;
}

}  // namespace quorbis::python::ame
