// The two heap types of the module, each created once from its spec.
#ifndef VORDAOPT_PYTHON_TYPES_H_
#define VORDAOPT_PYTHON_TYPES_H_

#include <Python.h>

namespace vordaopt::py {

PyObject* create_solver_type();  // builtins.VordaSolver
PyObject* create_probe_type();   // builtins.VordaProbe

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_TYPES_H_
