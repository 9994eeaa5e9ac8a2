// The module functions of `_engine` over several objectives: the front of
// each point and the hypervolume of a set.
#ifndef VORDAOPT_PYTHON_PARETO_CALLS_H_
#define VORDAOPT_PYTHON_PARETO_CALLS_H_

#include <Python.h>

namespace vordaopt::py {

// pareto_ranks(values, objectives, violations) -> list[int]
PyObject* pareto_ranks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kParetoRanksDoc[];

// hypervolume(values, objectives, reference) -> float
PyObject* hypervolume(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kHypervolumeDoc[];

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_PARETO_CALLS_H_
