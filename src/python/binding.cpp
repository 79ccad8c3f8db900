#include "python/binding.hpp"

#include <string>
#include <vector>

#include "python/error.hpp"
#include "python/messages.hpp"

namespace quorbis::python {
namespace {

[[noreturn]] void too_many_positional(const Signature& s, Py_ssize_t given) {
  std::string takes = s.required == s.params.size()
                          ? std::to_string(s.params.size())
                          : cat({"from ", std::to_string(s.required), " to ", std::to_string(s.params.size())});
  raise(PyExc_TypeError, cat({s.function, "() takes ", takes, " positional arguments but ", std::to_string(given),
                              " were given"}));
}

[[noreturn]] void missing(const Signature& s, std::span<PyObject*> slots) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < s.required; ++i) {
    if (slots[i] == nullptr) names.push_back(cat({"'", s.params[i], "'"}));
  }
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += names[i];
  }
  raise(PyExc_TypeError, cat({s.function, "() missing ", std::to_string(names.size()),
                              " required positional argument", names.size() == 1 ? "" : "s", ": ", list}));
}

std::ptrdiff_t parameter_index(const Signature& s, PyObject* keyword) {
  for (std::size_t i = 0; i < s.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, s.params[i]) == 0) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

void restore_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

}  // namespace

void bind_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    std::span<PyObject*> slots) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > static_cast<Py_ssize_t>(s.params.size())) too_many_positional(s, nargs);
  for (auto& slot : slots) slot = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
    std::ptrdiff_t index = parameter_index(s, keyword);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", s.function, keyword);
      throw_pending();
    }
    if (slots[static_cast<std::size_t>(index)] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.function,
                   s.params[static_cast<std::size_t>(index)]);
      throw_pending();
    }
    slots[static_cast<std::size_t>(index)] = args[nargs + i];
  }
  for (std::size_t i = 0; i < s.required; ++i) {
    if (slots[i] == nullptr) missing(s, slots);
  }
}

void prefix_type_error(const char* name) {
  Ref original = fetch_exception();
  if (!original || Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(original));
    return;
  }
  Ref text = checked(PyObject_Str(original.get()));
  // Through UTF-8 with lone surrogates passed as they are, so that any message comes back unchanged.
  Ref bytes = checked(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()));
  const std::string prefixed = format(kArgument, {{"name", name}, {"message", {PyBytes_AS_STRING(bytes.get()), size}}});
  Ref message = checked(
      PyUnicode_DecodeUTF8(prefixed.data(), static_cast<Py_ssize_t>(prefixed.size()), "surrogatepass"));
  Ref replaced = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (PyObject* cause = PyException_GetCause(original.get())) PyException_SetCause(replaced.get(), cause);
  restore_exception(std::move(replaced));
}

}  // namespace quorbis::python
