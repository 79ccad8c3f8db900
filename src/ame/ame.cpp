#include "ame/ame.hpp"

#include "ame/effects.hpp"
#include "ame/inputs.hpp"
#include "ame/intercepts.hpp"
#include "ame/table.hpp"
#include "lib/error.hpp"
#include "lib/unlocked.hpp"

namespace quorbis::ame {

lib::Ref ame(PyObject* probit_model, std::optional<std::uint64_t> chunk_size) {
  if (chunk_size && *chunk_size == 0) lib::raise(PyExc_ValueError, "chunk_size must be at least 1");
  const ModelInputs inputs = read_inputs(probit_model);
  const std::vector<bool> intercept = intercept_columns(inputs.names);
  const ProbitFit fit = views_of(inputs);  // after the last call into Python code
  const std::vector<ColumnEffect> effects =
      lib::without_lock([&] { return average_marginal_effects(fit, intercept, chunk_size); });
  // pandas is imported only now, so that input errors are reported first.
  return effects_table(effects, inputs.names);
}

}  // namespace quorbis::ame
