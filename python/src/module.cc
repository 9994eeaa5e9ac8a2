// The extension module `_internal`.
//
// Single-phase initialisation: the module is created once per process and
// cached; a later initialisation in the same interpreter returns the cached
// module, and one in another interpreter is refused.
#include <Python.h>

#include <csignal>

#include "convert.h"
#include "diag.h"
#include "interrupt.h"
#include "pyref.h"
#include "types.h"

namespace vordaopt::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_internal",  // m_name
    "",           // m_doc
    -1,           // m_size: single-phase, no per-module state
    nullptr,      // m_methods
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;

// Before the core writes a diagnostic line to the C standard output, flush
// Python's own buffered sys.stdout so that the lines keep their order. The
// line is written whatever the flush does, and its failure is not lost: a
// KeyboardInterrupt is re-armed so that it arrives once the running call has
// returned, any other exception is reported as unraisable.
void flush_python_stdout() {
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* out = PySys_GetObject("stdout");  // borrowed
  if (out && out != Py_None) {
    PyObject* r = PyObject_CallMethod(out, "flush", nullptr);
    if (r) {
      Py_DECREF(r);
    } else if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
      PyErr_Clear();
      PyErr_SetInterruptEx(SIGINT);
    } else {
      PyErr_WriteUnraisable(out);
    }
  }
  PyErr_SetRaisedException(pending);
}

int64_t owner_interpreter = -1;

// Sets module.<name> = type and appends name to module.__all__.
bool add_class(PyObject* module, const char* name, PyObject* type) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    PyErr_Clear();
    all = PyList_New(0);
    if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return false;
    }
  }
  PyRef all_ref(all);
  PyRef text(PyUnicode_FromString(name));
  return text && PyList_Append(all, text.get()) == 0 &&
         PyModule_AddObjectRef(module, name, type) == 0;
}

PyObject* init_module() {
  int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (owner_interpreter >= 0 && interpreter != owner_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "vordaopt._internal can be loaded in one interpreter per process only");
    return nullptr;
  }
  if (cached_module) return Py_NewRef(cached_module);
  if (!panic_exception_type()) return nullptr;

  PyRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyRef solver_type(create_solver_type());
  if (!solver_type || !add_class(module.get(), "VordaSolver", solver_type.get())) return nullptr;

  PyRef probe_type(create_probe_type());
  if (!probe_type || !add_class(module.get(), "VordaProbe", probe_type.get())) return nullptr;

  diag::set_before_line_hook(flush_python_stdout);
  set_interrupt_hook(poll_python_signals);
  owner_interpreter = interpreter;
  cached_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace vordaopt::py

PyMODINIT_FUNC PyInit__internal(void) { return vordaopt::py::init_module(); }
