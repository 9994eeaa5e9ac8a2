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
#include "solver_calls.h"
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
  return new_call<SolverObject>(type, args, kwargs, kConstructor, [](SolverObject*) {});
}

void solver_dealloc(PyObject* self) {
  as_solver(self)->solver.~Solver();
  free_instance(self);
}

PyObject* solver_ask(PyObject* self, PyObject*) { return ask_call<SolverObject>(self); }

const char* const kTellNames[] = {"results_json"};
const Signature kTell = {"VordaSolver.tell", kTellNames, 1, 1};

PyObject* solver_tell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tell_call<SolverObject>(self, kTell, args, nargs, kwnames);
}

const char* const kSeedNames[] = {"seed_json"};
const Signature kSeed = {"VordaSolver.seed", kSeedNames, 1, 1};

PyObject* solver_seed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return seed_call<SolverObject>(self, kSeed, args, nargs, kwnames);
}

PyObject* solver_get_history_len(PyObject* self, PyObject* arg) {
  return history_len_call<SolverObject>(self, arg);
}

PyObject* solver_ask_one(PyObject* self, PyObject*) { return ask_one_call<SolverObject>(self); }

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
