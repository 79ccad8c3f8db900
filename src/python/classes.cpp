#include "python/classes.hpp"

#include <Python.h>

#include <memory>
#include <new>
#include <string>

#include "python/boundary.hpp"
#include "python/error.hpp"

namespace quorbis::python {
namespace {

template <class Record>
struct Instance {
  PyObject_HEAD
  Record record;
};

using ModelObject = Instance<ModelRecord>;
using ResultsObject = Instance<ResultsRecord>;

template <class Record>
const Record& record_of(PyObject* self) noexcept {
  return reinterpret_cast<Instance<Record>*>(self)->record;
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

template <class Record>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* instance = reinterpret_cast<Instance<Record>*>(self);
  instance->record.clear();
  std::destroy_at(&instance->record);
  type->tp_free(self);
  Py_DECREF(type);
}

// Creates the type once per process; failing to create it is an internal fault.
PyTypeObject* lazy_type(PyObject*& cache, PyType_Spec& spec, const char* name) {
  if (cache == nullptr) {
    cache = PyType_FromSpec(&spec);
    if (cache == nullptr) {
      PyErr_Clear();
      fault(std::string("failed to create type object for ") + name);
    }
  }
  return reinterpret_cast<PyTypeObject*>(cache);
}

template <class Record>
Ref make_instance(PyTypeObject* type, Record record) {
  Ref object = checked(type->tp_alloc(type, 0));
  new (&reinterpret_cast<Instance<Record>*>(object.get())->record) Record(std::move(record));
  return object;
}

// Getters share one pattern: read the record, return a new reference.
template <class Record, Ref (*Read)(const Record&)>
PyObject* getter(PyObject* self, void*) {
  return guarded([&] { return Read(record_of<Record>(self)); });
}

Ref read_exog(const ModelRecord& r) { return r.exog.share(); }
Ref read_endog(const ModelRecord& r) { return r.endog.share(); }
Ref read_exog_names(const ModelRecord& r) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(r.exog_names.size())));
  for (std::size_t i = 0; i < r.exog_names.size(); ++i) {
    const std::string& name = r.exog_names[i];
    PyObject* item = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (item == nullptr) throw_pending();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

Ref read_params(const ResultsRecord& r) { return r.params.share(); }
Ref read_model(const ResultsRecord& r) { return make_model_object(r.model.copy()); }
Ref read_loglike(const ResultsRecord& r) { return checked(PyFloat_FromDouble(r.loglike)); }
Ref read_iterations(const ResultsRecord& r) { return checked(PyLong_FromUnsignedLongLong(r.iterations)); }
Ref read_converged(const ResultsRecord& r) { return Ref::borrow(r.converged ? Py_True : Py_False); }

PyObject* cov_params(PyObject* self, PyObject*) {
  return guarded([&] { return record_of<ResultsRecord>(self).cov_params.share(); });
}

PyGetSetDef model_getset[] = {
    {"exog", getter<ModelRecord, read_exog>, nullptr, nullptr, nullptr},
    {"endog", getter<ModelRecord, read_endog>, nullptr, nullptr, nullptr},
    {"exog_names", getter<ModelRecord, read_exog_names>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef results_getset[] = {
    {"params", getter<ResultsRecord, read_params>, nullptr, nullptr, nullptr},
    {"model", getter<ResultsRecord, read_model>, nullptr, nullptr, nullptr},
    {"loglike", getter<ResultsRecord, read_loglike>, nullptr, nullptr, nullptr},
    {"iterations", getter<ResultsRecord, read_iterations>, nullptr, nullptr, nullptr},
    {"converged", getter<ResultsRecord, read_converged>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef results_methods[] = {
    {"cov_params", cov_params, METH_NOARGS, "cov_params($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ModelRecord>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_getset, model_getset},
    {0, nullptr},
};

PyType_Slot results_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ResultsRecord>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_methods, results_methods},
    {Py_tp_getset, results_getset},
    {0, nullptr},
};

// Immutable like a built-in type: Python code can neither replace a member nor install a __new__ that
// would make an instance without a record.
constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
PyType_Spec model_spec = {"builtins.VaskProbitModel", sizeof(ModelObject), 0, kTypeFlags, model_slots};
PyType_Spec results_spec = {"builtins.VaskProbitResults", sizeof(ResultsObject), 0, kTypeFlags, results_slots};

PyObject* model_type = nullptr;
PyObject* results_type = nullptr;

}  // namespace

Ref make_results_object(ResultsRecord record) {
  return make_instance(lazy_type(results_type, results_spec, "VaskProbitResults"), std::move(record));
}

Ref make_model_object(ModelRecord record) {
  return make_instance(lazy_type(model_type, model_spec, "VaskProbitModel"), std::move(record));
}

}  // namespace quorbis::python
