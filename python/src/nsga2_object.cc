#include "nsga2_object.h"

#include <cmath>
#include <memory>
#include <string_view>
#include <vector>

#include "args.h"
#include "method_args.h"
#include "pareto/nsga2.h"
#include "point_search.h"
#include "pyref.h"

namespace vordaopt::py {
namespace {

struct Nsga2Traits {
  using Search = pareto::Nsga2;
  static constexpr const char* kPropose = "Nsga2.propose";
  static constexpr const char* kObserve = "Nsga2.observe";
};
using Nsga2Type = PointSearch<Nsga2Traits>;

// The search's object with the number of objectives each observation carries.
struct Nsga2Object {
  Nsga2Type::Object base;
  size_t objectives;
};

size_t& objectives_of(PyObject* self) { return reinterpret_cast<Nsga2Object*>(self)->objectives; }

const char* const kNewNames[] = {"kinds", "counts", "objectives", "seed", "population"};
const Signature kNew = {"Nsga2.__new__", kNewNames, 5, 4};

PyObject* nsga2_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[5];
  std::string_view kinds;
  std::vector<double> counts;
  uint64_t seed = 0;
  uint32_t objectives = 0, population = 50;
  if (!match_args(kNew, args, kwargs, argv) || !to_text("kinds", argv[0], kinds) ||
      !to_doubles("counts", argv[1], counts) || !to_u32("objectives", argv[2], objectives) ||
      !to_u64("seed", argv[3], seed) ||
      (argv[4] != nullptr && !to_u32("population", argv[4], population))) {
    return nullptr;
  }
  if (objectives == 0 || population < 2) {
    PyErr_SetString(PyExc_ValueError, "Nsga2: objectives >= 1 and population >= 2");
    return nullptr;
  }
  std::vector<numerics::Dim> dims;
  if (!to_dims(kinds, counts, dims)) return nullptr;
  PyRef self(Nsga2Type::alloc(type, dims.size()));
  if (!self) return nullptr;
  objectives_of(self.get()) = objectives;
  pareto::Nsga2Settings settings;
  settings.population = population;
  auto& search = Nsga2Type::get(self.get())->search;
  if (!run_without_gil([&] {
        search = std::make_unique<pareto::Nsga2>(std::move(dims), objectives, seed, settings);
      })) {
    return nullptr;
  }
  return self.release();
}

const char* const kObserveNames[] = {"unit", "values", "violation"};
const Signature kObserveSig = {"Nsga2.observe", kObserveNames, 3, 3};

PyObject* nsga2_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* argv[3];
  std::vector<double> unit, values;
  if (!match_args(kObserveSig, args, nargs, kwnames, argv) || !to_doubles("unit", argv[0], unit) ||
      !to_doubles("values", argv[1], values)) {
    return nullptr;
  }
  double violation = PyFloat_AsDouble(argv[2]);
  if (violation == -1.0 && PyErr_Occurred()) return nullptr;
  bool finite = std::isfinite(violation) && violation >= 0.0;
  for (double v : values) finite = finite && std::isfinite(v);
  size_t dims = Nsga2Type::get(self)->dims, objectives = objectives_of(self);
  if (unit.size() != dims || !in_unit_cube(unit) || values.size() != objectives || !finite) {
    PyErr_Format(PyExc_ValueError,
                 "Nsga2.observe: a point of %zu floats in [0, 1], %zu finite values and a "
                 "finite violation >= 0",
                 dims, objectives);
    return nullptr;
  }
  if (!Nsga2Type::run(self, [&](pareto::Nsga2& s) { s.observe(unit, values, violation); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* nsga2_generation(PyObject* self, PyObject*) {
  Borrow borrow = Borrow::shared(Nsga2Type::get(self)->borrow);
  if (!borrow.held()) return nullptr;
  return PyLong_FromSize_t(Nsga2Type::get(self)->search->generation());
}

PyMethodDef nsga2_methods[] = {
    Nsga2Type::propose_entry(),
    {"observe", fastcall(nsga2_observe), METH_FASTCALL | METH_KEYWORDS,
     "observe($self, unit, values, violation)\n--\n\nTells the objectives (to minimise) of a "
     "point and by how much it breaks its constraints (0: feasible)."},
    {"generation", nsga2_generation, METH_NOARGS,
     "generation($self)\n--\n\nHow many generations have been selected."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot nsga2_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(nsga2_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Nsga2Type::dealloc)},
    {Py_tp_methods, nsga2_methods},
    {Py_tp_doc, const_cast<char*>("Nsga2(kinds, counts, objectives, seed, population=50)\n--\n\n"
                                  "NSGA-II over the unit cube; `kinds` and `counts` as for "
                                  "gp_propose.")},
    {0, nullptr},  // sentinel
};

PyType_Spec nsga2_spec = {
    .name = "vordaopt._engine.Nsga2",
    .basicsize = sizeof(Nsga2Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = nsga2_slots,
};

}  // namespace

bool add_nsga2_type(PyObject* module) {
  PyRef type(PyType_FromSpec(&nsga2_spec));
  return type && PyModule_AddObjectRef(module, "Nsga2", type.get()) == 0;
}

}  // namespace vordaopt::py
