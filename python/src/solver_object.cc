// The class VordaSolver: one solver per instance, driven by ask/tell.
#include <Python.h>

#include <new>
#include <optional>
#include <string_view>

#include "args.h"
#include "artifact.h"
#include "config.h"
#include "convert.h"
#include "machine.h"
#include "pyref.h"
#include "types.h"

namespace vordaopt::py {
namespace {

struct SolverObject {
  PyObject_HEAD
  Solver solver;
  BorrowState borrow;
};

SolverObject* as_solver(PyObject* self) { return reinterpret_cast<SolverObject*>(self); }

const char* const kConstructorNames[] = {"config_json"};
const Signature kConstructor = {"VordaSolver.__new__", kConstructorNames, 1, 1};

PyObject* solver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  std::string_view text;
  if (!match_args(kConstructor, args, kwargs, argv) || !to_text("config_json", argv[0], text)) {
    return nullptr;
  }
  try {
    json::ParseResult<SolverConfig> parsed = parse_solver_config(text);
    if (!parsed.ok()) {
      raise_value_error("Invalid config: ", parsed.error_message());
      return nullptr;
    }
    Solver solver = Solver::pcr(std::move(parsed).value());
    PyRef self(alloc_instance(type));
    if (!self) return nullptr;
    SolverObject* obj = as_solver(self.get());
    new (&obj->solver) Solver(std::move(solver));
    new (&obj->borrow) BorrowState();
    return self.release();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

void solver_dealloc(PyObject* self) {
  as_solver(self)->solver.~Solver();
  free_instance(self);
}

PyObject* solver_ask(PyObject* self, PyObject*) {
  Borrow borrow = Borrow::exclusive(as_solver(self)->borrow);
  if (!borrow.held()) return nullptr;
  try {
    Solver& solver = as_solver(self)->solver;
    std::optional<std::vector<ParamMap>> maps = solver.ask();
    if (!maps) Py_RETURN_NONE;
    // A batch handed out while still probing changed nothing, so building its
    // list may stop for a signal; any other batch has been committed (the
    // strategy has moved on) and must reach the caller.
    bool unchanged = solver.phase().kind == SolverPhase::Kind::kProbing;
    return to_list_of_dicts(std::move(*maps), unchanged);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// The shared shape of tell and seed: one JSON text argument, parsed by
// `parse` and handed to `apply`; nothing is added when parsing fails.
template <class Parse, class Apply>
PyObject* document_method(PyObject* self, const Signature& sig, const char* prefix,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Parse parse,
                          Apply apply) {
  PyObject* argv[1];
  if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
  Borrow borrow = Borrow::exclusive(as_solver(self)->borrow);
  std::string_view text;
  if (!borrow.held() || !to_text(sig.names[0], argv[0], text)) return nullptr;
  try {
    auto parsed = parse(text);
    if (!parsed.ok()) {
      raise_value_error(prefix, parsed.error_message());
      return nullptr;
    }
    apply(as_solver(self)->solver, std::move(parsed).value());
    Py_RETURN_NONE;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

const char* const kTellNames[] = {"results_json"};
const Signature kTell = {"VordaSolver.tell", kTellNames, 1, 1};

PyObject* solver_tell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return document_method(self, kTell, "Invalid results: ", args, nargs, kwnames, parse_results,
                         [](Solver& s, std::vector<EvalTrace>&& r) { s.tell(std::move(r)); });
}

const char* const kSeedNames[] = {"seed_json"};
const Signature kSeed = {"VordaSolver.seed", kSeedNames, 1, 1};

PyObject* solver_seed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return document_method(self, kSeed, "Invalid seed data: ", args, nargs, kwnames,
                         parse_seed_points,
                         [](Solver& s, std::vector<SeedPoint>&& p) { s.seed(std::move(p)); });
}

PyObject* solver_get_history_len(PyObject* self, PyObject*) {
  Borrow borrow = Borrow::shared(as_solver(self)->borrow);
  if (!borrow.held()) return nullptr;
  return PyLong_FromSize_t(as_solver(self)->solver.history_len());
}

PyObject* solver_ask_one(PyObject* self, PyObject*) {
  Borrow borrow = Borrow::exclusive(as_solver(self)->borrow);
  if (!borrow.held()) return nullptr;
  try {
    std::optional<ParamMap> map = as_solver(self)->solver.ask_one();
    if (!map) Py_RETURN_NONE;
    return to_dict(*map);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyMethodDef solver_methods[] = {
    {"ask", solver_ask, METH_NOARGS, "ask($self)\n--\n\n"},
    {"tell", fastcall(solver_tell), METH_FASTCALL | METH_KEYWORDS,
     "tell($self, results_json)\n--\n\n"},
    {"get_history_len", solver_get_history_len, METH_NOARGS, "get_history_len($self)\n--\n\n"},
    {"seed", fastcall(solver_seed), METH_FASTCALL | METH_KEYWORDS,
     "seed($self, seed_json)\n--\n\n"
     "Seed the solver with historical evaluations.\n"
     "Input: JSON array of {\"params\": {...}, \"value\": f64, \"cost\": f64}\n"
     "\n"
     "Use cases:\n"
     "- Warm-starting from previous optimization runs\n"
     "- Streaming/online optimization where external systems generate evaluations"},
    {"ask_one", solver_ask_one, METH_NOARGS,
     "ask_one($self)\n--\n\n"
     "Ask for exactly ONE candidate for online/real-time optimization.\n"
     "\n"
     "Unlike `ask()` which returns a full batch for PCR workflow, this method:\n"
     "1. Skips Probe/Classify phases\n"
     "2. Uses TPE strategy directly for incremental learning\n"
     "3. Returns exactly 1 candidate per call\n"
     "\n"
     "Usage pattern (Online Mode):\n"
     "```python\n"
     "solver = VordaSolver(config_json)\n"
     "while True:\n"
     "    candidate = solver.ask_one()  # Get ONE config\n"
     "    if candidate is None:\n"
     "        break\n"
     "    reward = evaluate(candidate)\n"
     "    solver.seed(json.dumps([{\"params\": candidate, \"value\": reward, \"cost\": 1.0}]))\n"
     "```"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot solver_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(solver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(solver_dealloc)},
    {Py_tp_methods, solver_methods},
    {Py_tp_doc, const_cast<char*>("VordaSolver(config_json)\n--\n\n")},
    {0, nullptr},  // sentinel
};

PyType_Spec solver_spec = {
    .name = "builtins.VordaSolver",
    .basicsize = sizeof(SolverObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = solver_slots,
};

}  // namespace

PyObject* create_solver_type() { return PyType_FromSpec(&solver_spec); }

}  // namespace vordaopt::py
