// `_engine.Cma`: the CMA-ES method's search state (core/src/cma).
#ifndef VORDAOPT_PYTHON_CMA_OBJECT_H_
#define VORDAOPT_PYTHON_CMA_OBJECT_H_

#include <Python.h>

namespace vordaopt::py {

// Adds the type `Cma` to `module`; false with an exception set.
bool add_cma_type(PyObject* module);

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_CMA_OBJECT_H_
