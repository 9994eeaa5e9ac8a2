// The method bodies that every class wrapping one core Solver shares:
// `_internal.VordaSolver` and the product layer's `_engine.Solver`.
//
// `Object` is the instance layout: it has a `Solver solver` and a
// `BorrowState borrow`. The signatures carry each class's own names.
#ifndef VORDAOPT_PYTHON_SOLVER_CALLS_H_
#define VORDAOPT_PYTHON_SOLVER_CALLS_H_

#include <Python.h>

#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "artifact.h"
#include "config.h"
#include "convert.h"
#include "machine.h"
#include "pyref.h"

namespace vordaopt::py {

template <class Object>
Object* instance(PyObject* self) {
  return reinterpret_cast<Object*>(self);
}

// `__new__(config_json)`: a solver in its initial state for the parsed
// configuration; `init_rest` constructs the members of the layout besides
// `solver` and `borrow`.
template <class Object, class InitRest>
PyObject* new_call(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Signature& sig,
                   InitRest init_rest) {
  PyObject* argv[1];
  std::string_view text;
  if (!match_args(sig, args, kwargs, argv) || !to_text("config_json", argv[0], text)) {
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
    Object* obj = instance<Object>(self.get());
    new (&obj->solver) Solver(std::move(solver));
    new (&obj->borrow) BorrowState();
    init_rest(obj);
    return self.release();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// One JSON text argument, parsed by `parse` and handed to `apply`; nothing is
// added when parsing fails.
template <class Object, class Parse, class Apply>
PyObject* document_call(PyObject* self, const Signature& sig, const char* prefix,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Parse parse,
                        Apply apply) {
  PyObject* argv[1];
  if (!match_args(sig, args, nargs, kwnames, argv)) return nullptr;
  Borrow borrow = Borrow::exclusive(instance<Object>(self)->borrow);
  std::string_view text;
  if (!borrow.held() || !to_text(sig.names[0], argv[0], text)) return nullptr;
  try {
    auto parsed = parse(text);
    if (!parsed.ok()) {
      raise_value_error(prefix, parsed.error_message());
      return nullptr;
    }
    apply(instance<Object>(self)->solver, std::move(parsed).value());
    Py_RETURN_NONE;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

template <class Object>
PyObject* tell_call(PyObject* self, const Signature& sig, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  return document_call<Object>(self, sig, "Invalid results: ", args, nargs, kwnames,
                               parse_results, [](Solver& s, std::vector<EvalTrace>&& r) {
                                 s.tell(std::move(r));
                               });
}

template <class Object>
PyObject* seed_call(PyObject* self, const Signature& sig, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  return document_call<Object>(self, sig, "Invalid seed data: ", args, nargs, kwnames,
                               parse_seed_points, [](Solver& s, std::vector<SeedPoint>&& p) {
                                 s.seed(std::move(p));
                               });
}

template <class Object>
PyObject* history_len_call(PyObject* self, PyObject*) {
  Borrow borrow = Borrow::shared(instance<Object>(self)->borrow);
  if (!borrow.held()) return nullptr;
  return PyLong_FromSize_t(instance<Object>(self)->solver.history_len());
}

// `ask`: a batch handed out while still probing changed nothing, so building
// its list may stop for a signal; any other batch has been committed (the
// strategy has moved on) and must reach the caller.
template <class Object>
PyObject* ask_call(PyObject* self) {
  Borrow borrow = Borrow::exclusive(instance<Object>(self)->borrow);
  if (!borrow.held()) return nullptr;
  try {
    Solver& solver = instance<Object>(self)->solver;
    std::optional<std::vector<ParamMap>> maps = solver.ask();
    if (!maps) Py_RETURN_NONE;
    bool unchanged = solver.phase().kind == SolverPhase::Kind::kProbing;
    return to_list_of_dicts(std::move(*maps), unchanged);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

template <class Object>
PyObject* ask_one_call(PyObject* self) {
  Borrow borrow = Borrow::exclusive(instance<Object>(self)->borrow);
  if (!borrow.held()) return nullptr;
  try {
    std::optional<ParamMap> map = instance<Object>(self)->solver.ask_one();
    if (!map) Py_RETURN_NONE;
    return to_dict(*map);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_SOLVER_CALLS_H_
