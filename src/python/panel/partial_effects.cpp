#include "python/panel/partial_effects.hpp"

#include <array>
#include <string>
#include <vector>

#include "core/ame/effects.hpp"
#include "core/panel/partial_effects.hpp"
#include "python/ame/table.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/numpy.hpp"
#include "python/panel/arguments.hpp"
#include "python/sequence.hpp"
#include "python/unlocked.hpp"

namespace quorbis::python::panel {
namespace {

constexpr std::array<const char*, 2> kParams = {"fit", "population"};
constexpr Signature kSignature = {"_fixed_effects_ame", kParams, 2};

Ref attribute(PyObject* fit, const char* name) { return checked(PyObject_GetAttrString(fit, name)); }

std::vector<double> doubles_of(PyObject* obj) {
  const VectorView v = vector_view(as_float64_array(obj, 1));
  std::vector<double> out(static_cast<std::size_t>(v.size));
  for (std::ptrdiff_t i = 0; i < v.size; ++i) out[static_cast<std::size_t>(i)] = v[i];
  return out;
}

// What the fit's attributes hold, read while the lock is held; the views point into fit's arrays, which
// the references kept here keep alive.
struct Inputs {
  std::vector<Ref> held;
  ProblemInputs problem;
  std::vector<double> params;
  std::vector<std::vector<double>> effects;
  core::probit::Covariance kind = core::probit::Covariance::classical;
  std::optional<std::size_t> lags;
  double factor = 1.0;
  bool small_sample = false;
  std::vector<std::string> names;
};

Inputs read_inputs(PyObject* fit) {
  Inputs in;
  for (const char* name : {"endog", "exog", "effects", "clusters"}) in.held.push_back(attribute(fit, name));
  in.problem = read_problem(in.held[0].get(), in.held[1].get(), in.held[2].get(), in.held[3].get());
  in.params = doubles_of(attribute(fit, "params").get());
  Ref values = attribute(fit, "effect_values");
  Ref items = checked(PySequence_Fast(values.get(), "effect_values must be a sequence of arrays"));
  for (Py_ssize_t d = 0; d < PySequence_Fast_GET_SIZE(items.get()); ++d) {
    in.effects.push_back(doubles_of(PySequence_Fast_GET_ITEM(items.get(), d)));
  }
  in.kind = covariance_kind(to_bool(attribute(fit, "robust").get()), in.problem);
  Ref lags = attribute(fit, "bias_correction");
  if (given(lags.get())) in.lags = to_u64(lags.get());
  in.factor = to_double(attribute(fit, "factor").get());
  in.small_sample = to_bool(attribute(fit, "small_sample").get());
  in.names = string_list(attribute(fit, "names").get());
  const std::size_t k = in.problem.problem.k();
  if (in.params.size() != k || in.names.size() != k || in.effects.size() != in.problem.problem.dimensions) {
    raise(PyExc_ValueError, "params, names and effect_values must match exog and effects");
  }
  for (std::size_t d = 0; d < in.effects.size(); ++d) {
    if (in.effects[d].size() < in.problem.problem.levels[d]) raise(PyExc_ValueError, "effect_values lack codes");
  }
  return in;
}

}  // namespace

PyObject* fixed_effects_ame(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] {
    ensure_numpy();
    std::array<PyObject*, kParams.size()> slot{};
    bind_arguments(kSignature, args, nargsf, kwnames, slot);
    const Inputs in = read_inputs(slot[0]);
    const bool population = convert_argument("population", [&] { return to_bool(slot[1]); });
    const core::panel::PartialEffects effects = without_lock([&] {
      return core::panel::average_partial_effects(in.problem.problem, in.params, in.effects, in.kind, in.lags,
                                                  in.small_sample);
    });
    std::vector<core::ame::ColumnEffect> columns;
    for (std::size_t j = 0; j < effects.effect.size(); ++j) {
      const double variance =
          in.factor * effects.estimation(j, j) + (population ? effects.sampling(j, j) : 0.0);
      columns.push_back(core::ame::column_effect(j, effects.effect[j], variance));
    }
    return ame::effects_table(columns, in.names);
  });
}

}  // namespace quorbis::python::panel
