// Small handles for references to Python objects.
//
// PyRef owns one strong reference and releases it when it goes; Borrowed is a plain non-owning
// pointer that documents that no reference is held. Code that receives a new reference wraps it
// in a PyRef at once (PyRef::steal); code that needs to keep a borrowed object takes a new
// reference with PyRef::borrow. release() hands the reference to a caller that steals it (for
// example a function returning a new reference to the interpreter).
#pragma once

#include <Python.h>

#include <utility>

namespace norva {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef& o) : p_(o.p_) { Py_XINCREF(p_); }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) : p_(o) {}
  PyObject* p_ = nullptr;
};

using Borrowed = PyObject*;

}  // namespace norva
