// Arguments of the search methods beside the core solver (the GP, CMA-ES,
// the trust region): a space described by one letter per dimension, flat
// lists of floats and points of the unit cube; and how their computation runs.
#ifndef VORDAOPT_PYTHON_METHOD_ARGS_H_
#define VORDAOPT_PYTHON_METHOD_ARGS_H_

#include <Python.h>

#include <exception>
#include <string_view>
#include <vector>

#include "convert.h"
#include "numerics/dims.h"

namespace vordaopt::py {

// A list or tuple of floats as a vector; false with TypeError otherwise.
bool to_doubles(const char* name, PyObject* obj, std::vector<double>& out);

// `kinds`: one letter per dimension (c continuous, i integer, k categorical,
// p periodic); `counts`: the values of each integer or categorical, 0
// otherwise. False with ValueError on a wrong letter or length.
bool to_dims(std::string_view kinds, const std::vector<double>& counts,
             std::vector<numerics::Dim>& dims);

// A new list of floats.
PyObject* to_list(const std::vector<double>& values);

// Runs `compute` without the GIL. False with a Python exception set when it
// threw (the exception is converted once the GIL is held again).
template <typename Compute>
bool run_without_gil(Compute&& compute) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    compute();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (!failure) return true;
  try {
    std::rethrow_exception(failure);
  } catch (...) {
    raise_from_current_exception();
  }
  return false;
}

// Whether every coordinate lies in [0, 1] (NaN does not).
inline bool in_unit_cube(const std::vector<double>& x) {
  for (double v : x) {
    if (!(v >= 0.0 && v <= 1.0)) return false;
  }
  return true;
}

// `flat` holds whole points of `dims` floats in the unit cube; ValueError
// naming `qualname` and `name` otherwise.
inline bool check_points(const char* qualname, const char* name, size_t dims,
                         const std::vector<double>& flat) {
  bool whole = dims == 0 ? flat.empty() : flat.size() % dims == 0;
  if (whole && in_unit_cube(flat)) return true;
  PyErr_Format(PyExc_ValueError, "%s: %s must be points of %zu floats in [0, 1]", qualname, name,
               dims);
  return false;
}

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_METHOD_ARGS_H_
