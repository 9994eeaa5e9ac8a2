// PyRef: an owning handle for one strong reference to a Python object.
#ifndef VORDAOPT_PYTHON_PYREF_H_
#define VORDAOPT_PYTHON_PYREF_H_

#include <Python.h>

#include <utility>

namespace vordaopt::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes ownership of a new reference (which may be null after a failure).
  explicit PyRef(PyObject* owned) : p_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_PYREF_H_
