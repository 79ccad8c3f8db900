#include "python/ame/ame.hpp"

#include <vector>

#include "core/ame/effects.hpp"
#include "python/ame/inputs.hpp"
#include "python/ame/table.hpp"
#include "python/boundary.hpp"
#include "python/unlocked.hpp"

namespace quorbis::python::ame {

PyObject* ame(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    const AmeInputs in = read_arguments(args, nargsf, kwnames);
    const std::vector<core::ame::ColumnEffect> effects =
        without_lock([&] { return core::ame::average_marginal_effects(in.fit, in.intercept, in.chunk_size); });
    // pandas is imported only now, so that input errors are reported first.
    return effects_table(effects, in.model.names);
  });
}

}  // namespace quorbis::python::ame
