#include "python/row_weights.hpp"

#include <cmath>
#include <cstdint>
#include <string>

#include "python/error.hpp"
#include "python/numpy.hpp"

namespace quorbis::python {
namespace {

bool readable_in_place(const VectorView& view) noexcept {
  const bool aligned = reinterpret_cast<std::uintptr_t>(view.data) % alignof(double) == 0;
  return aligned && (view.stride == static_cast<std::ptrdiff_t>(sizeof(double)) || view.size < 2);
}

}  // namespace

RowWeightsInput read_weights(PyObject* obj, std::ptrdiff_t nobs, bool frequency) {
  const VectorView view = vector_view(as_float64_array(obj, 1));
  if (view.size != nobs) {
    raise(PyExc_ValueError, cat({"weights has ", std::to_string(view.size), " rows, endog ", std::to_string(nobs)}));
  }
  RowWeightsInput out;
  if (readable_in_place(view)) {
    out.data = reinterpret_cast<const double*>(view.data);
  } else {
    out.copy = core::Buffer(static_cast<std::size_t>(nobs));
    for (std::ptrdiff_t i = 0; i < nobs; ++i) out.copy.data()[i] = view[i];
    out.data = out.copy.data();
  }
  // One flag over all rows, without an exit per row, so that the check vectorises.
  bool valid = true;
  for (std::ptrdiff_t i = 0; i < nobs; ++i) {
    const double v = out.data[i];
    valid &= v >= 0.0 && v < HUGE_VAL;
  }
  for (std::ptrdiff_t i = 0; frequency && valid && i < nobs; ++i) valid &= out.data[i] == std::floor(out.data[i]);
  if (!valid) {
    raise(PyExc_ValueError, frequency ? "frequency weights must be whole numbers of at least 0"
                                      : "weights must be finite numbers of at least 0");
  }
  return out;
}

}  // namespace quorbis::python
