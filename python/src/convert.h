// Conversions between core records and Python objects, the borrow state of
// the two classes, and the mapping of core failures to Python exceptions.
#ifndef VORDAOPT_PYTHON_CONVERT_H_
#define VORDAOPT_PYTHON_CONVERT_H_

#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "named_map.h"

namespace vordaopt::py {

// --- Borrow state --------------------------------------------------------------
// An instance is either free, shared by any number of readers, or held by one
// writer. Every call runs with the interpreter lock held, so a conflict can
// only come from re-entering the instance on the same thread.
struct BorrowState {
  Py_ssize_t count = 0;  // > 0 shared borrows, -1 exclusive
};

class Borrow {
 public:
  // Takes a borrow or sets RuntimeError ("Already borrowed" /
  // "Already mutably borrowed") and returns a Borrow that is not held.
  static Borrow exclusive(BorrowState& state);
  static Borrow shared(BorrowState& state);
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow(Borrow&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }
  ~Borrow();
  bool held() const { return state_ != nullptr; }

 private:
  explicit Borrow(BorrowState* state) : state_(state) {}
  BorrowState* state_;
};

// --- Failures --------------------------------------------------------------------
// The internal-error exception type ("pyo3_runtime.PanicException", derived
// from BaseException), created once per process.
PyObject* panic_exception_type();
// Makes `type` the internal-error exception of this module (a module that
// shares the type another module created; takes a reference).
void use_panic_exception_type(PyObject* type);
// Sets ValueError(prefix + message).
void raise_value_error(std::string_view prefix, const std::string& message);
// Converts the C++ exception in flight into a Python exception: MemoryError for
// an allocation failure, the internal-error exception for everything else. An
// Interrupted keeps the exception its signal handler set.
void raise_from_current_exception();

// --- Results ----------------------------------------------------------------------
// Builds many dicts over one list of names: the key objects are made once,
// and each dict is copied from a template that already holds every key, so
// setting the values never resizes it.
class DictBuilder {
 public:
  // Sets an exception and returns false in ok() when a key cannot be made.
  explicit DictBuilder(const std::vector<std::string_view>& names);
  DictBuilder(const DictBuilder&) = delete;
  DictBuilder& operator=(const DictBuilder&) = delete;
  ~DictBuilder();
  bool ok() const { return template_ != nullptr; }
  // A new dict names[i] -> float(values[i]). REQUIRES: ok()
  PyObject* make(const double* values) const;

 private:
  std::vector<PyObject*> keys_;
  PyObject* template_ = nullptr;
};

// A new dict name -> float for one parameter map.
PyObject* to_dict(const ParamMap& map);
// A new list of dicts; maps are released as they are converted. When
// `interruptible`, pending signals are handled along the way and one whose
// handler raises ends the conversion (returns nullptr with it set).
PyObject* to_list_of_dicts(std::vector<ParamMap>&& maps, bool interruptible);

// The core's interrupt hook: runs Python's pending signal handlers and
// answers true when one raised (its exception is then set).
bool poll_python_signals();

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_CONVERT_H_
