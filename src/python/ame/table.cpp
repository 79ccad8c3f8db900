#include "python/ame/table.hpp"

#include "python/error.hpp"

namespace quorbis::python::ame {
namespace {

using core::ame::ColumnEffect;

// A new list of one item per effect. Returns a new reference.
template <class Item>
Ref column_list(const std::vector<ColumnEffect>& effects, Item item) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(effects.size())));
  for (std::size_t i = 0; i < effects.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item(effects[i]).release());  // steals
  }
  return list;
}

Ref float_of(double value) { return checked(PyFloat_FromDouble(value)); }

Ref str_of(const std::string& text) {
  return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

void set_item(PyObject* dict, const char* key, const Ref& value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw_pending();
}

}  // namespace

const char* significance_stars(double p_value) noexcept {
  if (p_value < 0.01) return "***";
  if (p_value < 0.05) return "**";
  if (p_value < 0.1) return "*";
  return "";
}

Ref effects_table(const std::vector<core::ame::ColumnEffect>& effects, const std::vector<std::string>& names) {
  Ref pandas = checked(PyImport_ImportModule("pandas"));
  Ref data = checked(PyDict_New());
  set_item(data.get(), "dy/dx", column_list(effects, [](const ColumnEffect& e) { return float_of(e.effect); }));
  set_item(data.get(), "Std. Err", column_list(effects, [](const ColumnEffect& e) { return float_of(e.std_err); }));
  set_item(data.get(), "z", column_list(effects, [](const ColumnEffect& e) { return float_of(e.z); }));
  set_item(data.get(), "Pr(>|z|)", column_list(effects, [](const ColumnEffect& e) { return float_of(e.p_value); }));
  set_item(data.get(), "Significance", column_list(effects, [](const ColumnEffect& e) {
             return checked(PyUnicode_FromString(significance_stars(e.p_value)));
           }));
  Ref keywords = checked(PyDict_New());
  set_item(keywords.get(), "data", data);
  set_item(keywords.get(), "index",
           column_list(effects, [&](const ColumnEffect& e) { return str_of(names[e.column]); }));
  Ref data_frame = checked(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  Ref no_arguments = checked(PyTuple_New(0));
  return checked(PyObject_Call(data_frame.get(), no_arguments.get(), keywords.get()));
}

}  // namespace quorbis::python::ame
