// Owning handle for one Python reference; raw PyObject* elsewhere is always borrowed.
#pragma once

#include <Python.h>

#include <utility>

namespace quorbis::python {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (may be null).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference of its own.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

  // A second owner of the same object.
  Ref share() const noexcept { return borrow(ptr_); }
  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  void reset() noexcept { Py_CLEAR(ptr_); }
  // Hands the reference back to CPython.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

 private:
  explicit Ref(PyObject* p) noexcept : ptr_(p) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace quorbis::python
