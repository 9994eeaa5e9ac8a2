// The class VordaSolver: one solver per instance, driven by ask/tell.
#include <Python.h>

#include <new>
#include <string_view>

#include "args.h"
#include "config.h"
#include "convert.h"
#include "pyref.h"
#include "types.h"

namespace vordaopt::py {
namespace {

struct SolverObject {
  PyObject_HEAD
  SolverConfig config;
  BorrowState borrow;
};

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
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self(alloc(type, 0));
    if (!self) return nullptr;
    auto* obj = reinterpret_cast<SolverObject*>(self.get());
    new (&obj->config) SolverConfig(std::move(parsed).value());
    new (&obj->borrow) BorrowState();
    return self.release();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

void solver_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<SolverObject*>(self);
  obj->config.~SolverConfig();
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyMethodDef solver_methods[] = {
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
