#pragma once

#include <Python.h>

#include <utility>

namespace velmar::python {

// Owns one strong reference. Move-only; a null Ref is allowed and means
// "no object" (usually: an error is set).
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (the result of most C API calls).
  static Ref Steal(PyObject* obj) { return Ref(obj); }
  // Adds a reference to a borrowed object.
  static Ref Borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace velmar::python
