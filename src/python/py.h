// The one way the boundary includes Python.h, and the owned-reference type.
//
// The module is built against the stable ABI of Python 3.10, so one build
// serves 3.10 and every later interpreter. The build system may define the
// same value on the command line; any other value is a configuration error.
//
// PyRef owns one strong reference (or none). It is move-only, so a reference
// handed from one owner to the next cannot be dropped twice, and every early
// return releases what the function holds.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#elif Py_LIMITED_API != 0x030A0000
#error "quorvane targets the 3.10 stable ABI (Py_LIMITED_API 0x030A0000)"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorvane::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (which may be null after a failed call).
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  // Adds a reference to a borrowed pointer.
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyRef(PyRef&& other) noexcept : p_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::exchange(p_, other.release()));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace quorvane::py
