#include "trust_region_object.h"

#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "args.h"
#include "local/trust_region.h"
#include "method_args.h"
#include "pyref.h"

namespace vordaopt::py {
namespace {

struct TrustRegionObject {
  PyObject_HEAD
  std::unique_ptr<local::TrustRegion> search;
  size_t dims;
};

TrustRegionObject* as_region(PyObject* self) {
  return reinterpret_cast<TrustRegionObject*>(self);
}

bool in_cube(const std::vector<double>& x) {
  for (double v : x) {
    if (!(v >= 0.0 && v <= 1.0)) return false;
  }
  return true;
}

const char* const kNewNames[] = {"start"};
const Signature kNew = {"TrustRegion.__new__", kNewNames, 1, 1};

PyObject* region_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  std::vector<double> start;
  if (!match_args(kNew, args, kwargs, argv) || !to_doubles("start", argv[0], start)) return nullptr;
  if (start.empty() || !in_cube(start)) {
    PyErr_SetString(PyExc_ValueError, "TrustRegion: start must be a point of the unit cube");
    return nullptr;
  }
  PyRef self(alloc_instance(type));
  if (!self) return nullptr;
  TrustRegionObject* obj = as_region(self.get());
  new (&obj->search) std::unique_ptr<local::TrustRegion>();
  obj->dims = start.size();
  try {
    obj->search = std::make_unique<local::TrustRegion>(std::move(start));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void region_dealloc(PyObject* self) {
  as_region(self)->search.~unique_ptr();
  free_instance(self);
}

const char* const kProposeNames[] = {"pending"};
const Signature kPropose = {"TrustRegion.propose", kProposeNames, 1, 1};

PyObject* region_propose(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  TrustRegionObject* obj = as_region(self);
  PyObject* argv[1];
  std::vector<double> pending;
  if (!match_args(kPropose, args, nargs, kwnames, argv) ||
      !to_doubles("pending", argv[0], pending)) {
    return nullptr;
  }
  if (pending.size() % obj->dims != 0 || !in_cube(pending)) {
    PyErr_Format(PyExc_ValueError, "TrustRegion.propose: points of %zu floats in [0, 1]",
                 obj->dims);
    return nullptr;
  }
  try {
    return to_list(obj->search->propose(pending));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

const char* const kObserveNames[] = {"unit", "value"};
const Signature kObserve = {"TrustRegion.observe", kObserveNames, 2, 2};

PyObject* region_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  TrustRegionObject* obj = as_region(self);
  PyObject* argv[2];
  std::vector<double> unit;
  if (!match_args(kObserve, args, nargs, kwnames, argv) || !to_doubles("unit", argv[0], unit)) {
    return nullptr;
  }
  double value = PyFloat_AsDouble(argv[1]);
  if (value == -1.0 && PyErr_Occurred()) return nullptr;
  if (unit.size() != obj->dims || !in_cube(unit) || !std::isfinite(value)) {
    PyErr_Format(PyExc_ValueError,
                 "TrustRegion.observe: a point of %zu floats in [0, 1] and a finite value",
                 obj->dims);
    return nullptr;
  }
  try {
    obj->search->observe(unit, value);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

PyObject* region_state(PyObject* self, PyObject*) {
  const local::TrustRegion& s = *as_region(self)->search;
  return Py_BuildValue("{s:d,s:n,s:O}", "radius", s.radius(), "size",
                       static_cast<Py_ssize_t>(s.size()), "converged",
                       s.converged() ? Py_True : Py_False);
}

PyMethodDef region_methods[] = {
    {"propose", fastcall(region_propose), METH_FASTCALL | METH_KEYWORDS,
     "propose($self, pending)\n--\n\nThe next point of the unit cube, given the pending "
     "points (m x d, flat)."},
    {"observe", fastcall(region_observe), METH_FASTCALL | METH_KEYWORDS,
     "observe($self, unit, value)\n--\n\nTells the finite value (to minimise) of a point."},
    {"state", region_state, METH_NOARGS,
     "state($self)\n--\n\nRadius, results told and whether the search converged, as a dict."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot region_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(region_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(region_dealloc)},
    {Py_tp_methods, region_methods},
    {Py_tp_doc, const_cast<char*>("TrustRegion(start)\n--\n\n"
                                  "A derivative-free trust-region search over the unit cube, "
                                  "from `start`.")},
    {0, nullptr},  // sentinel
};

PyType_Spec region_spec = {
    .name = "vordaopt._engine.TrustRegion",
    .basicsize = sizeof(TrustRegionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = region_slots,
};

}  // namespace

bool add_trust_region_type(PyObject* module) {
  PyRef type(PyType_FromSpec(&region_spec));
  return type && PyModule_AddObjectRef(module, "TrustRegion", type.get()) == 0;
}

}  // namespace vordaopt::py
