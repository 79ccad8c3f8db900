#include "python/boundary.hpp"

#include <algorithm>
#include <cstdio>

#include "core/platform.hpp"

namespace quorbis::python {

// Created once per process; derives from BaseException so `except Exception` does not hide it.
PyObject* panic_exception_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("quorbis.PanicException", PyExc_BaseException, nullptr);
  }
  return type;
}

namespace {

void report_to_fd2(const char* message, const std::source_location& where) noexcept {
  char line[1024];
  int len = std::snprintf(line, sizeof line, "quorbis: internal fault at %s:%u: %s\n",
                          where.file_name(), static_cast<unsigned>(where.line()), message);
  if (len > 0) core::write_stderr({line, std::min(static_cast<size_t>(len), sizeof line - 1)});
}

}  // namespace

void raise_panic(const char* message, const std::source_location& where) noexcept {
  report_to_fd2(message, where);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the type failed; its exception is set
  PyErr_SetString(type, message);
}

}  // namespace quorbis::python
