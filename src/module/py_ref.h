#pragma once
// The one owner of a strong reference. A raw PyObject* parameter is borrowed; stealing calls
// take .release() on the same line.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quantelle::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }  // o is a new reference
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(obj_, o.obj_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }
  [[nodiscard]] PyObject* get() const noexcept { return obj_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace quantelle::py
