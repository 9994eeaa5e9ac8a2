// The private extension module `_engine`: what the product layer needs from
// the core beyond the raw protocol of `_internal`.
//
// Its `Solver` is the same core solver as `_internal.VordaSolver`, bit for
// bit, with two differences for a library that runs inside other programs:
// the diagnostic lines are kept for the caller (`take_messages`) instead of
// being written to the standard output, and the probe batch can be handed out
// in slices (`probe_points`), so that the memory of a run does not grow with
// its budget.
//
// The module links its own copy of the core, so the line sink installed here
// leaves `_internal` writing to the standard output as before.
#include <Python.h>

#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
#include "config.h"
#include "convert.h"
#include "diag.h"
#include "gp/kernel.h"
#include "gp/ehvi.h"
#include "gp/propose.h"
#include "interrupt.h"
#include "machine.h"
#include "method_args.h"
#include "cma_object.h"
#include "trust_region_object.h"
#include "numeric.h"
#include "nsga2_object.h"
#include "pareto_calls.h"
#include "probe.h"
#include "pyref.h"
#include "solver_calls.h"

namespace vordaopt::py {
namespace {

// Lines written by the core during the running call; every call runs with the
// interpreter lock held, so one buffer serves the process.
std::vector<std::string>* pending_lines = nullptr;

void keep_line(const std::string& line) {
  if (pending_lines) pending_lines->push_back(line);
}

struct EngineSolver {
  PyObject_HEAD
  Solver solver;
  std::unique_ptr<ProbeBatchCursor> probe;  // built on the first probe_points call
  std::vector<std::string> messages;
  BorrowState borrow;
};

EngineSolver* as_engine(PyObject* self) { return reinterpret_cast<EngineSolver*>(self); }

// Routes the core's lines into this solver's messages for one call.
class KeepLines {
 public:
  explicit KeepLines(EngineSolver* owner) : previous_(pending_lines) {
    pending_lines = &owner->messages;
  }
  ~KeepLines() { pending_lines = previous_; }
  KeepLines(const KeepLines&) = delete;
  KeepLines& operator=(const KeepLines&) = delete;

 private:
  std::vector<std::string>* previous_;
};

const char* const kConstructorNames[] = {"config_json"};
const Signature kConstructor = {"Solver.__new__", kConstructorNames, 1, 1};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_call<EngineSolver>(type, args, kwargs, kConstructor, [](EngineSolver* obj) {
    new (&obj->probe) std::unique_ptr<ProbeBatchCursor>();
    new (&obj->messages) std::vector<std::string>();
  });
}

void engine_dealloc(PyObject* self) {
  EngineSolver* obj = as_engine(self);
  obj->messages.~vector();
  obj->probe.~unique_ptr();
  obj->solver.~Solver();
  free_instance(self);
}

PyObject* engine_ask(PyObject* self, PyObject*) {
  KeepLines keep(as_engine(self));
  return ask_call<EngineSolver>(self);
}

PyObject* engine_ask_one(PyObject* self, PyObject*) {
  KeepLines keep(as_engine(self));
  return ask_one_call<EngineSolver>(self);
}

const char* const kTellNames[] = {"results_json"};
const Signature kTell = {"Solver.tell", kTellNames, 1, 1};

PyObject* engine_tell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tell_call<EngineSolver>(self, kTell, args, nargs, kwnames);
}

const char* const kSeedNames[] = {"seed_json"};
const Signature kSeed = {"Solver.seed", kSeedNames, 1, 1};

PyObject* engine_seed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return seed_call<EngineSolver>(self, kSeed, args, nargs, kwnames);
}

PyObject* engine_history_len(PyObject* self, PyObject* arg) {
  return history_len_call<EngineSolver>(self, arg);
}

// The cursor over the solver's first probe batch, built on first use.
ProbeBatchCursor& probe_cursor(EngineSolver* obj) {
  if (!obj->probe) {
    const auto& probe = dynamic_cast<const PrimeSqrtSlopesRotProbe&>(obj->solver.probe());
    obj->probe = std::make_unique<ProbeBatchCursor>(probe, obj->solver.config());
  }
  return *obj->probe;
}

PyObject* engine_probe_size(PyObject* self, PyObject*) {
  Borrow borrow = Borrow::exclusive(as_engine(self)->borrow);
  if (!borrow.held()) return nullptr;
  try {
    // `ask` hands out no probe batch when the probe budget is 0.
    ProbeBatchCursor& cursor = probe_cursor(as_engine(self));
    return PyLong_FromSize_t(cursor.requested() == 0 ? 0 : cursor.size());
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

const char* const kProbePointsNames[] = {"start", "count"};
const Signature kProbePoints = {"Solver.probe_points", kProbePointsNames, 2, 2};

PyObject* engine_probe_points(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* argv[2];
  uint64_t start = 0;
  uint64_t count = 0;
  if (!match_args(kProbePoints, args, nargs, kwnames, argv) || !to_u64("start", argv[0], start) ||
      !to_u64("count", argv[1], count)) {
    return nullptr;
  }
  Borrow borrow = Borrow::exclusive(as_engine(self)->borrow);
  if (!borrow.held()) return nullptr;
  try {
    ProbeBatchCursor& cursor = probe_cursor(as_engine(self));
    size_t size = cursor.size();
    if (start > size) start = size;
    if (count > size - start) count = size - start;
    if (cursor.position() != start) cursor.seek(start);
    const NamedMap<Domain>& bounds = as_engine(self)->solver.config().bounds;
    std::vector<std::string_view> names;
    for (const auto& entry : bounds) names.push_back(entry.first);
    DictBuilder builder(names);
    if (!builder.ok()) return nullptr;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    std::vector<double> values(cursor.dims());
    for (uint64_t i = 0; i < count; ++i) {
      cursor.next(values.data());
      PyObject* d = builder.make(values.data());
      if (!d) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d);
    }
    return list.release();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* engine_take_messages(PyObject* self, PyObject*) {
  std::vector<std::string>& messages = as_engine(self)->messages;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(messages.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < messages.size(); ++i) {
    PyObject* text = PyUnicode_FromStringAndSize(messages[i].data(),
                                                 static_cast<Py_ssize_t>(messages[i].size()));
    if (!text) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  messages.clear();
  return list.release();
}

PyMethodDef engine_methods[] = {
    {"ask", engine_ask, METH_NOARGS,
     "ask($self)\n--\n\nThe next batch of candidates, or None; as VordaSolver.ask."},
    {"ask_one", engine_ask_one, METH_NOARGS,
     "ask_one($self)\n--\n\nOne candidate, or None; as VordaSolver.ask_one."},
    {"tell", fastcall(engine_tell), METH_FASTCALL | METH_KEYWORDS,
     "tell($self, results_json)\n--\n\nAppends results; as VordaSolver.tell."},
    {"seed", fastcall(engine_seed), METH_FASTCALL | METH_KEYWORDS,
     "seed($self, seed_json)\n--\n\nAppends evaluations; as VordaSolver.seed."},
    {"get_history_len", engine_history_len, METH_NOARGS,
     "get_history_len($self)\n--\n\nThe number of records in the history."},
    {"probe_size", engine_probe_size, METH_NOARGS,
     "probe_size($self)\n--\n\nThe number of points of the first probe batch that ask() "
     "hands out (0 when it hands out none)."},
    {"probe_points", fastcall(engine_probe_points), METH_FASTCALL | METH_KEYWORDS,
     "probe_points($self, start, count)\n--\n\nPoints start .. start + count - 1 of the first "
     "probe batch (fewer at its end), equal to that slice of the first ask(). Told results "
     "of every point before the history reaches probe_size() let ask() move on to classify."},
    {"take_messages", engine_take_messages, METH_NOARGS,
     "take_messages($self)\n--\n\nThe diagnostic lines written since the last call."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

// --- The GP method's proposal -------------------------------------------------------

// The observations the GP calls take, from their first four arguments
// (kinds, counts, points, values; `per_point` values to a point): checked,
// or false with an exception set.
struct GpData {
  std::vector<numerics::Dim> dims;
  std::vector<double> points, values;
};

bool to_gp_data(const char* qualname, PyObject* const* argv, GpData& out, size_t per_point = 1) {
  std::string_view kinds;
  std::vector<double> counts;
  if (!to_text("kinds", argv[0], kinds) || !to_doubles("counts", argv[1], counts) ||
      !to_doubles("points", argv[2], out.points) || !to_doubles("values", argv[3], out.values) ||
      !to_dims(kinds, counts, out.dims)) {
    return false;
  }
  size_t d = out.dims.size();
  if (out.values.size() % per_point != 0 ||
      (d == 0 ? !out.points.empty() : out.points.size() != out.values.size() / per_point * d)) {
    PyErr_Format(PyExc_ValueError, "%s: counts and points must match kinds and values", qualname);
    return false;
  }
  return check_points(qualname, "points", d, out.points);
}

const char* const kGpProposeNames[] = {"kinds", "counts", "points", "values", "pending", "seed",
                                       "margins", "reals_at_range"};
const Signature kGpPropose = {"gp_propose", kGpProposeNames, 8, 6};

PyObject* gp_propose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[8];
  GpData data;
  std::vector<double> pending;
  uint64_t seed = 0;
  gp::Constraints constraints;
  if (!match_args(kGpPropose, args, nargs, kwnames, argv) ||
      !to_gp_data("gp_propose", argv, data) || !to_doubles("pending", argv[4], pending) ||
      !to_u64("seed", argv[5], seed) ||
      !check_points("gp_propose", "pending", data.dims.size(), pending) ||
      (argv[6] != nullptr && argv[6] != Py_None &&
       !to_doubles("margins", argv[6], constraints.margins))) {
    return nullptr;
  }
  size_t n = data.values.size();
  if (!constraints.margins.empty()) {
    bool whole = n > 0 && constraints.margins.size() % n == 0;
    for (double v : constraints.margins) whole = whole && std::isfinite(v);
    if (!whole) {
      PyErr_SetString(PyExc_ValueError,
                      "gp_propose: margins must hold the same number of finite floats per value");
      return nullptr;
    }
    constraints.count = constraints.margins.size() / n;
  }
  gp::ProposeSettings settings;
  if (argv[7] != nullptr) {
    if (!PyBool_Check(argv[7])) {
      PyErr_SetString(PyExc_TypeError, "gp_propose: reals_at_range must be a bool");
      return nullptr;
    }
    if (argv[7] == Py_True) settings.real_prior = gp::RealPrior::kRange;
  }
  std::vector<double> x;
  if (!run_without_gil([&] {
        x = gp::propose(data.dims, data.points, data.values, pending, seed, settings, constraints);
      })) {
    return nullptr;
  }
  return to_list(x);
}

const char* const kGpEhviNames[] = {"kinds", "counts", "points", "values", "objectives",
                                    "pending", "seed"};
const Signature kGpEhvi = {"gp_propose_ehvi", kGpEhviNames, 7, 7};

PyObject* gp_propose_ehvi(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* argv[7];
  GpData data;
  std::vector<double> pending;
  uint64_t objectives = 0, seed = 0;
  if (!match_args(kGpEhvi, args, nargs, kwnames, argv) ||
      !to_u64("objectives", argv[4], objectives)) {
    return nullptr;
  }
  if (objectives != 2 && objectives != 3) {
    PyErr_SetString(PyExc_ValueError, "gp_propose_ehvi: objectives must be 2 or 3");
    return nullptr;
  }
  if (!to_gp_data("gp_propose_ehvi", argv, data, objectives) ||
      !to_doubles("pending", argv[5], pending) || !to_u64("seed", argv[6], seed) ||
      !check_points("gp_propose_ehvi", "pending", data.dims.size(), pending)) {
    return nullptr;
  }
  for (double v : data.values) {
    if (!std::isfinite(v)) {
      PyErr_SetString(PyExc_ValueError, "gp_propose_ehvi: values must be finite");
      return nullptr;
    }
  }
  std::vector<double> x;
  if (!run_without_gil([&] {
        x = gp::propose_ehvi(data.dims, data.points, data.values, objectives, pending, seed);
      })) {
    return nullptr;
  }
  return to_list(x);
}

const char* const kGpMeansNames[] = {"kinds", "counts", "points", "values"};
const Signature kGpMeans = {"gp_means", kGpMeansNames, 4, 4};

PyObject* gp_means(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4];
  GpData data;
  if (!match_args(kGpMeans, args, nargs, kwnames, argv) || !to_gp_data("gp_means", argv, data)) {
    return nullptr;
  }
  std::vector<double> means;
  if (!run_without_gil([&] { means = gp::fitted_means(data.dims, data.points, data.values); })) {
    return nullptr;
  }
  return to_list(means);
}

PyMethodDef module_methods[] = {
    {"gp_means", fastcall(gp_means), METH_FASTCALL | METH_KEYWORDS,
     "gp_means(kinds, counts, points, values)\n--\n\n"
     "The GP's posterior mean at each observed point, fitted as gp_propose fits it, on the "
     "model's warped scale (only the order means anything); the values themselves below 3 "
     "points."},
    {"gp_propose", fastcall(gp_propose), METH_FASTCALL | METH_KEYWORDS,
     "gp_propose(kinds, counts, points, values, pending, seed, margins=None)\n--\n\n"
     "The GP method's next point of the unit cube: `kinds` has one letter per dimension "
     "(c continuous, i integer, k categorical, p periodic), `counts` the values of each "
     "integer or categorical (0 otherwise); `points` (n x d, flat) and `values` (n) are the "
     "observations to minimise, `pending` (m x d, flat) the points being evaluated; "
     "`margins` (n x c, flat) how far each observation lies outside each of c constraints "
     "(feasible where at most 0)."},
    {"gp_propose_ehvi", fastcall(gp_propose_ehvi), METH_FASTCALL | METH_KEYWORDS,
     "gp_propose_ehvi(kinds, counts, points, values, objectives, pending, seed)\n--\n\n"
     "The GP method's next point for two or three objectives, by expected hypervolume "
     "improvement: as gp_propose, with `values` (n x objectives, flat) every objective of "
     "each point, to minimise."},
    {"hypervolume", fastcall(hypervolume), METH_FASTCALL | METH_KEYWORDS, kHypervolumeDoc},
    {"pareto_ranks", fastcall(pareto_ranks), METH_FASTCALL | METH_KEYWORDS, kParetoRanksDoc},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_doc, const_cast<char*>("Solver(config_json)\n--\n\n"
                                  "The core solver for the product layer: quiet, with a sliced "
                                  "probe batch.")},
    {0, nullptr},  // sentinel
};

PyType_Spec engine_spec = {
    .name = "vordaopt._engine.Solver",
    .basicsize = sizeof(EngineSolver),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = engine_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",  // m_name
    "The core's solver for vordaopt's product layer (private).",
    -1,  // m_size: single-phase, no per-module state
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;

PyObject* init_module() {
  if (cached_module) return Py_NewRef(cached_module);
  // Internal errors surface as the one PanicException type of `_internal`.
  PyRef panic_module(PyImport_ImportModule("vordaopt._panic"));
  if (!panic_module) return nullptr;
  PyRef panic(PyObject_GetAttrString(panic_module.get(), "PanicException"));
  if (!panic) return nullptr;
  use_panic_exception_type(panic.get());

  PyRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyRef type(PyType_FromSpec(&engine_spec));
  if (!type || PyModule_AddObjectRef(module.get(), "Solver", type.get()) < 0) return nullptr;
  if (!add_cma_type(module.get())) return nullptr;
  if (!add_trust_region_type(module.get())) return nullptr;
  if (!add_nsga2_type(module.get())) return nullptr;
  diag::set_line_sink(keep_line);
  set_interrupt_hook(poll_python_signals);
  cached_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace vordaopt::py

PyMODINIT_FUNC PyInit__engine(void) { return vordaopt::py::init_module(); }
