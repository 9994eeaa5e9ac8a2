// `_engine.Nsga2`: NSGA-II's search state (core/src/pareto/nsga2.h).
#ifndef VORDAOPT_PYTHON_NSGA2_OBJECT_H_
#define VORDAOPT_PYTHON_NSGA2_OBJECT_H_

#include <Python.h>

namespace vordaopt::py {

// Adds the type `Nsga2` to `module`; false with an exception set.
bool add_nsga2_type(PyObject* module);

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_NSGA2_OBJECT_H_
