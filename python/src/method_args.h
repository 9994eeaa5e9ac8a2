// Arguments of the search methods beside the core solver (the GP, CMA-ES):
// a space described by one letter per dimension, and flat lists of floats.
#ifndef VORDAOPT_PYTHON_METHOD_ARGS_H_
#define VORDAOPT_PYTHON_METHOD_ARGS_H_

#include <Python.h>

#include <string_view>
#include <vector>

#include "gp/kernel.h"

namespace vordaopt::py {

// A list or tuple of floats as a vector; false with TypeError otherwise.
bool to_doubles(const char* name, PyObject* obj, std::vector<double>& out);

// `kinds`: one letter per dimension (c continuous, i integer, k categorical,
// p periodic); `counts`: the values of each integer or categorical, 0
// otherwise. False with ValueError on a wrong letter or length.
bool to_dims(std::string_view kinds, const std::vector<double>& counts,
             std::vector<gp::Dim>& dims);

// A new list of floats.
PyObject* to_list(const std::vector<double>& values);

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_METHOD_ARGS_H_
