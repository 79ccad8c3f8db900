#include "python/boundary.hpp"

#include <algorithm>
#include <cstdio>

#include "core/platform.hpp"

namespace quorbis::python {

namespace {

constexpr const char* kPanicDoc =
    "An internal fault of quorbis: a bug, never a consequence of the input.\n"
    "\n"
    "Raised, after a short report to standard error, instead of crashing the interpreter when quorbis meets\n"
    "a state its own logic rules out. It derives from BaseException, so ``except Exception`` does not catch\n"
    "it; write ``except quorbis.PanicException``. Please report it with the input that caused it.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import quorbis\n"
    ">>> issubclass(quorbis.PanicException, Exception), issubclass(quorbis.PanicException, BaseException)\n"
    "(False, True)\n";

}  // namespace

// Created once per process; derives from BaseException so `except Exception` does not hide it.
PyObject* panic_exception_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("quorbis.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
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
