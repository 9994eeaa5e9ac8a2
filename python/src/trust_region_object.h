// `_engine.TrustRegion`: the local trust-region search's state (core/src/local).
#ifndef VORDAOPT_PYTHON_TRUST_REGION_OBJECT_H_
#define VORDAOPT_PYTHON_TRUST_REGION_OBJECT_H_

#include <Python.h>

namespace vordaopt::py {

// Adds the type `TrustRegion` to `module`; false with an exception set.
bool add_trust_region_type(PyObject* module);

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_TRUST_REGION_OBJECT_H_
