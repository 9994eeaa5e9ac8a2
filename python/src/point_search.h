// One binding shape for the searches that propose one point of the unit cube
// at a time from the results they were told (`_engine.Cma`,
// `_engine.TrustRegion`), and the rules every method entry point follows:
//
// - points are whole (d floats each) and lie in the unit cube, values are
//   finite: ValueError otherwise, naming the call;
// - the computation runs without the GIL (run_without_gil: evaluations on a
//   thread pool go on meanwhile), while the object is borrowed exclusively: a
//   second thread that calls it at the same time gets RuntimeError instead of
//   a data race;
// - a C++ exception becomes MemoryError for an allocation failure and the
//   internal-error exception for anything else (raise_from_current_exception).
// gp_propose and gp_means follow the same rules (method_args.h).
//
// A type supplies its traits (the C++ search and the qualified names of its
// calls), its constructor and its own extra methods; propose, observe and
// dealloc come from here.
#ifndef VORDAOPT_PYTHON_POINT_SEARCH_H_
#define VORDAOPT_PYTHON_POINT_SEARCH_H_

#include <Python.h>

#include <cmath>
#include <memory>
#include <vector>

#include "args.h"
#include "convert.h"
#include "method_args.h"

namespace vordaopt::py {

template <class Traits>
struct PointSearchObject {
  PyObject_HEAD
  std::unique_ptr<typename Traits::Search> search;
  size_t dims;
  BorrowState borrow;
};

template <class Traits>
class PointSearch {
 public:
  using Object = PointSearchObject<Traits>;

  static Object* get(PyObject* self) { return reinterpret_cast<Object*>(self); }

  // A new instance with `dims` dimensions and no search yet (the caller makes it).
  static PyObject* alloc(PyTypeObject* type, size_t dims) {
    PyObject* self = alloc_instance(type);
    if (!self) return nullptr;
    Object* obj = get(self);
    new (&obj->search) std::unique_ptr<typename Traits::Search>();
    new (&obj->borrow) BorrowState();
    obj->dims = dims;
    return self;
  }

  static void dealloc(PyObject* self) {
    get(self)->search.~unique_ptr();
    free_instance(self);
  }

  // Runs `compute(search)` on the object, exclusively and without the GIL.
  template <typename Compute>
  static bool run(PyObject* self, Compute&& compute) {
    Borrow borrow = Borrow::exclusive(get(self)->borrow);
    if (!borrow.held()) return false;
    typename Traits::Search& search = *get(self)->search;
    return run_without_gil([&] { compute(search); });
  }

  static PyObject* propose(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static const char* const names[] = {"pending"};
    static const Signature sig = {Traits::kPropose, names, 1, 1};
    PyObject* argv[1];
    std::vector<double> pending;
    if (!match_args(sig, args, nargs, kwnames, argv) || !to_doubles("pending", argv[0], pending) ||
        !check_points(Traits::kPropose, "pending", get(self)->dims, pending)) {
      return nullptr;
    }
    std::vector<double> x;
    if (!run(self, [&](typename Traits::Search& s) { x = s.propose(pending); })) return nullptr;
    return to_list(x);
  }

  static PyObject* observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static const char* const names[] = {"unit", "value"};
    static const Signature sig = {Traits::kObserve, names, 2, 2};
    PyObject* argv[2];
    std::vector<double> unit;
    if (!match_args(sig, args, nargs, kwnames, argv) || !to_doubles("unit", argv[0], unit)) {
      return nullptr;
    }
    double value = PyFloat_AsDouble(argv[1]);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    size_t dims = get(self)->dims;
    if (unit.size() != dims || !in_unit_cube(unit) || !std::isfinite(value)) {
      PyErr_Format(PyExc_ValueError, "%s: a point of %zu floats in [0, 1] and a finite value",
                   Traits::kObserve, dims);
      return nullptr;
    }
    if (!run(self, [&](typename Traits::Search& s) { s.observe(unit, value); })) return nullptr;
    Py_RETURN_NONE;
  }

  // The method-table entries of propose and observe.
  static PyMethodDef propose_entry() {
    return {"propose", fastcall(propose), METH_FASTCALL | METH_KEYWORDS,
            "propose($self, pending)\n--\n\nThe next point of the unit cube, given the pending "
            "points (m x d, flat)."};
  }
  static PyMethodDef observe_entry() {
    return {"observe", fastcall(observe), METH_FASTCALL | METH_KEYWORDS,
            "observe($self, unit, value)\n--\n\nTells the finite value (to minimise) of a point."};
  }
};

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_POINT_SEARCH_H_
