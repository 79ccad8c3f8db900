// The guard at every entry point: turns errors and faults into Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <stdexcept>

#include "python/error.hpp"
#include "python/ref.hpp"

namespace quorbis::python {

// The PanicException class (borrowed reference), or null with an exception set if it cannot be made.
PyObject* panic_exception_type() noexcept;

// Writes the fault report to fd 2 and sets PanicException.
void raise_panic(const char* message, const std::source_location& where) noexcept;

// Runs body (returning a Ref) and returns its new reference, or null with an exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const Error& error) {
    error.restore();
  } catch (const InternalFault& f) {
    raise_panic(f.message.c_str(), f.where);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a size past what a container can hold: no memory for it either
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what(), std::source_location::current());
  } catch (...) {
    raise_panic("unknown C++ exception", std::source_location::current());
  }
  return nullptr;
}

}  // namespace quorbis::python
