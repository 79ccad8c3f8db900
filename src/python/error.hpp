// The one error type that carries a failure from anywhere in a call to its boundary.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <source_location>
#include <string>
#include <string_view>

#include "python/ref.hpp"

namespace quorbis::python {

// Either a Python exception already set by the interpreter (pending) or one still to raise.
class Error {
 public:
  static Error pending() noexcept { return Error(nullptr, {}); }
  static Error raise(PyObject* type, std::string message) { return Error(type, std::move(message)); }

  bool is_pending() const noexcept { return type_ == nullptr; }
  // Sets the Python exception this error stands for.
  void restore() const;

 private:
  Error(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
  PyObject* type_;  // a static exception type, or null when pending
  std::string message_;
};

// An error caught now to be raised later: a pending Python exception is taken out of the interpreter
// meanwhile, so that other work can run before it is raised.
class DeferredError {
 public:
  explicit DeferredError(Error error);
  [[noreturn]] void raise();

 private:
  Error error_;
  Ref type_, value_, traceback_;
};

// A violated internal invariant: reaches Python as PanicException.
struct InternalFault {
  std::string message;
  std::source_location where;
};

[[noreturn]] inline void fault(std::string message,
                               std::source_location where = std::source_location::current()) {
  throw InternalFault{std::move(message), where};
}

[[noreturn]] inline void raise(PyObject* type, std::string message) {
  throw Error::raise(type, std::move(message));
}

[[noreturn]] inline void throw_pending() { throw Error::pending(); }

// Wraps a new reference from the C API; null means a Python error is pending.
inline Ref checked(PyObject* p) {
  if (p == nullptr) throw_pending();
  return Ref::steal(p);
}

// The parts joined into one message.
inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out += part;
  return out;
}

// The __qualname__ of an object's type, as used in conversion messages.
std::string type_qualname(PyObject* obj);

// UTF-8 contents of a str object.
std::string utf8(PyObject* str);

}  // namespace quorbis::python
