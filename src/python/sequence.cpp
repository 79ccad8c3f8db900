#include "python/sequence.hpp"

#include <algorithm>

#include "python/error.hpp"
#include "python/messages.hpp"

namespace quorbis::python {

std::vector<std::string> string_list(PyObject* sequence) {
  if (PyUnicode_Check(sequence)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(sequence)) {
    raise(PyExc_TypeError, format(kCannotConvert, {{"type", type_qualname(sequence)}, {"target", "Sequence"}}));
  }
  const Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) throw_pending();
  std::vector<std::string> items;
  // len() only hints at the capacity: a sequence may yield more or fewer items than it reports.
  items.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(size, 1 << 16)));
  Ref iterator = checked(PyObject_GetIter(sequence));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) {
      raise(PyExc_TypeError,
            format(kCannotConvert, {{"type", type_qualname(item.get())}, {"target", "PyString"}}));
    }
    items.push_back(utf8(item.get()));
  }
  if (PyErr_Occurred()) throw_pending();
  return items;
}

}  // namespace quorbis::python
