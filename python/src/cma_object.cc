#include "cma_object.h"

#include <memory>
#include <string_view>
#include <vector>

#include "args.h"
#include "cma/search.h"
#include "method_args.h"
#include "point_search.h"
#include "pyref.h"

namespace vordaopt::py {
namespace {

struct CmaTraits {
  using Search = cma::CmaSearch;
  static constexpr const char* kPropose = "Cma.propose";
  static constexpr const char* kObserve = "Cma.observe";
};
using CmaType = PointSearch<CmaTraits>;

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
  std::vector<numerics::Dim> dims;
  if (!to_dims(kinds, counts, dims)) return nullptr;
  PyRef self(CmaType::alloc(type, dims.size()));
  if (!self) return nullptr;
  cma::CmaSettings settings;
  settings.population = population;
  settings.surrogate = surrogate;
  settings.round_size = round_size;
  auto& search = CmaType::get(self.get())->search;
  if (!run_without_gil([&] {
        search = std::make_unique<cma::CmaSearch>(std::move(dims), seed, settings);
      })) {
    return nullptr;
  }
  return self.release();
}

const char* const kWarmNames[] = {"points", "values"};
const Signature kWarm = {"Cma.warm_start", kWarmNames, 2, 2};

PyObject* cma_warm_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* argv[2];
  std::vector<double> points, values;
  if (!match_args(kWarm, args, nargs, kwnames, argv) || !to_doubles("points", argv[0], points) ||
      !to_doubles("values", argv[1], values) ||
      !check_points(kWarm.qualname, "points", CmaType::get(self)->dims, points)) {
    return nullptr;
  }
  if (points.size() != values.size() * CmaType::get(self)->dims) {
    PyErr_SetString(PyExc_ValueError, "Cma.warm_start: one point of floats per value");
    return nullptr;
  }
  if (!CmaType::run(self, [&](cma::CmaSearch& s) { s.warm_start(points, values); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* cma_state(PyObject* self, PyObject*) {
  Borrow borrow = Borrow::shared(CmaType::get(self)->borrow);
  if (!borrow.held()) return nullptr;
  const cma::CmaSearch& s = *CmaType::get(self)->search;
  return Py_BuildValue("{s:n,s:n,s:n,s:d}", "restarts", static_cast<Py_ssize_t>(s.restarts()),
                       "generation", static_cast<Py_ssize_t>(s.generation()), "population",
                       static_cast<Py_ssize_t>(s.population()), "sigma", s.sigma());
}

PyMethodDef cma_methods[] = {
    CmaType::propose_entry(),
    CmaType::observe_entry(),
    {"warm_start", fastcall(cma_warm_start), METH_FASTCALL | METH_KEYWORDS,
     "warm_start($self, points, values)\n--\n\nRestarts the current run around the best of "
     "these observations."},
    {"state", cma_state, METH_NOARGS,
     "state($self)\n--\n\nRestarts, generation, population and step size, as a dict."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot cma_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(cma_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(CmaType::dealloc)},
    {Py_tp_methods, cma_methods},
    {Py_tp_doc, const_cast<char*>("Cma(kinds, counts, seed, population=0, surrogate=False, round_size=1)\n--\n\n"
                                  "CMA-ES with restarts over the unit cube; `kinds` and "
                                  "`counts` as for gp_propose.")},
    {0, nullptr},  // sentinel
};

PyType_Spec cma_spec = {
    .name = "vordaopt._engine.Cma",
    .basicsize = sizeof(CmaType::Object),
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
