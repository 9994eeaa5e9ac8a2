#include "cma_object.h"

#include <cmath>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "args.h"
#include "cma/search.h"
#include "method_args.h"
#include "pyref.h"

namespace vordaopt::py {
namespace {

struct CmaObject {
  PyObject_HEAD
  std::unique_ptr<cma::CmaSearch> search;
  size_t dims;
};

CmaObject* as_cma(PyObject* self) { return reinterpret_cast<CmaObject*>(self); }

const char* const kNewNames[] = {"kinds", "counts", "seed", "population", "surrogate",
                                 "round_size"};
const Signature kNew = {"Cma.__new__", kNewNames, 6, 3};

PyObject* cma_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[6];
  std::string_view kinds;
  std::vector<double> counts;
  uint64_t seed = 0;
  uint32_t population = 0, round_size = 1;
  if (!match_args(kNew, args, kwargs, argv) || !to_text("kinds", argv[0], kinds) ||
      !to_doubles("counts", argv[1], counts) || !to_u64("seed", argv[2], seed) ||
      (argv[3] != nullptr && !to_u32("population", argv[3], population)) ||
      (argv[5] != nullptr && !to_u32("round_size", argv[5], round_size))) {
    return nullptr;
  }
  if (argv[4] != nullptr && !PyBool_Check(argv[4])) {
    PyErr_SetString(PyExc_TypeError, "surrogate: a bool");
    return nullptr;
  }
  bool surrogate = argv[4] == Py_True;
  std::vector<gp::Dim> dims;
  if (!to_dims(kinds, counts, dims)) return nullptr;
  PyRef self(alloc_instance(type));
  if (!self) return nullptr;
  CmaObject* obj = as_cma(self.get());
  new (&obj->search) std::unique_ptr<cma::CmaSearch>();
  obj->dims = dims.size();
  try {
    cma::CmaSettings settings;
    settings.population = population;
    settings.surrogate = surrogate;
    settings.round_size = round_size;
    obj->search = std::make_unique<cma::CmaSearch>(std::move(dims), seed, settings);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void cma_dealloc(PyObject* self) {
  as_cma(self)->search.~unique_ptr();
  free_instance(self);
}

// Checks that a flat list holds whole points of the object's dimension.
bool whole_points(CmaObject* obj, const char* name, const std::vector<double>& flat) {
  if (obj->dims == 0 ? flat.empty() : flat.size() % obj->dims == 0) return true;
  PyErr_Format(PyExc_ValueError, "%s: a multiple of %zu floats", name, obj->dims);
  return false;
}

const char* const kProposeNames[] = {"pending"};
const Signature kPropose = {"Cma.propose", kProposeNames, 1, 1};

PyObject* cma_propose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CmaObject* obj = as_cma(self);
  PyObject* argv[1];
  std::vector<double> pending;
  if (!match_args(kPropose, args, nargs, kwnames, argv) ||
      !to_doubles("pending", argv[0], pending) || !whole_points(obj, "pending", pending)) {
    return nullptr;
  }
  try {
    return to_list(obj->search->propose(pending));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

const char* const kObserveNames[] = {"unit", "value"};
const Signature kObserve = {"Cma.observe", kObserveNames, 2, 2};

PyObject* cma_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CmaObject* obj = as_cma(self);
  PyObject* argv[2];
  std::vector<double> unit;
  if (!match_args(kObserve, args, nargs, kwnames, argv) || !to_doubles("unit", argv[0], unit)) {
    return nullptr;
  }
  double value = PyFloat_AsDouble(argv[1]);
  if (value == -1.0 && PyErr_Occurred()) return nullptr;
  if (unit.size() != obj->dims || !std::isfinite(value)) {
    PyErr_Format(PyExc_ValueError, "Cma.observe: a point of %zu floats and a finite value",
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

const char* const kWarmNames[] = {"points", "values"};
const Signature kWarm = {"Cma.warm_start", kWarmNames, 2, 2};

PyObject* cma_warm_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  CmaObject* obj = as_cma(self);
  PyObject* argv[2];
  std::vector<double> points, values;
  if (!match_args(kWarm, args, nargs, kwnames, argv) || !to_doubles("points", argv[0], points) ||
      !to_doubles("values", argv[1], values)) {
    return nullptr;
  }
  if (points.size() != values.size() * obj->dims) {
    PyErr_SetString(PyExc_ValueError, "Cma.warm_start: one point of floats per value");
    return nullptr;
  }
  try {
    obj->search->warm_start(points, values);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

PyObject* cma_state(PyObject* self, PyObject*) {
  const cma::CmaSearch& s = *as_cma(self)->search;
  return Py_BuildValue("{s:n,s:n,s:n,s:d}", "restarts", static_cast<Py_ssize_t>(s.restarts()),
                       "generation", static_cast<Py_ssize_t>(s.generation()), "population",
                       static_cast<Py_ssize_t>(s.population()), "sigma", s.sigma());
}

PyMethodDef cma_methods[] = {
    {"propose", fastcall(cma_propose), METH_FASTCALL | METH_KEYWORDS,
     "propose($self, pending)\n--\n\nThe next point of the unit cube, given the pending "
     "points (m x d, flat)."},
    {"observe", fastcall(cma_observe), METH_FASTCALL | METH_KEYWORDS,
     "observe($self, unit, value)\n--\n\nTells the finite value (to minimise) of a point."},
    {"warm_start", fastcall(cma_warm_start), METH_FASTCALL | METH_KEYWORDS,
     "warm_start($self, points, values)\n--\n\nRestarts the current run around the best of "
     "these observations."},
    {"state", cma_state, METH_NOARGS,
     "state($self)\n--\n\nRestarts, generation, population and step size, as a dict."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot cma_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(cma_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cma_dealloc)},
    {Py_tp_methods, cma_methods},
    {Py_tp_doc, const_cast<char*>("Cma(kinds, counts, seed, population=0, surrogate=False, round_size=1)\n--\n\n"
                                  "CMA-ES with restarts over the unit cube; `kinds` and "
                                  "`counts` as for gp_propose.")},
    {0, nullptr},  // sentinel
};

PyType_Spec cma_spec = {
    .name = "vordaopt._engine.Cma",
    .basicsize = sizeof(CmaObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = cma_slots,
};

}  // namespace

bool add_cma_type(PyObject* module) {
  PyRef type(PyType_FromSpec(&cma_spec));
  return type && PyModule_AddObjectRef(module, "Cma", type.get()) == 0;
}

}  // namespace vordaopt::py
