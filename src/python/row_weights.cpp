#include "python/row_weights.hpp"

#include <cmath>
#include <string>

#include "python/error.hpp"
#include "python/numpy.hpp"

namespace quorbis::python {

core::Buffer read_weights(PyObject* obj, std::ptrdiff_t nobs, bool frequency) {
  const VectorView view = vector_view(as_float64_array(obj, 1));
  if (view.size != nobs) {
    raise(PyExc_ValueError, cat({"weights has ", std::to_string(view.size), " rows, endog ", std::to_string(nobs)}));
  }
  core::Buffer out(static_cast<std::size_t>(nobs));
  for (std::ptrdiff_t i = 0; i < nobs; ++i) {
    const double v = view[i];
    if (!(v >= 0.0 && std::isfinite(v)) || (frequency && v != std::floor(v))) {
      raise(PyExc_ValueError, frequency ? "frequency weights must be whole numbers of at least 0"
                                        : "weights must be finite numbers of at least 0");
    }
    out.data()[i] = v;
  }
  return out;
}

}  // namespace quorbis::python
