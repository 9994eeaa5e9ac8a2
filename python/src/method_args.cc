#include "method_args.h"

#include "pyref.h"

namespace vordaopt::py {

bool to_doubles(const char* name, PyObject* obj, std::vector<double>& out) {
  // A str is a sequence too, of characters: refused here, not item by item.
  PyRef seq(PyUnicode_Check(obj) || PyBytes_Check(obj)
                ? nullptr
                : PySequence_Fast(obj, "must be a list of floats"));
  if (!seq) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a list of floats", name);
    return false;
  }
  Py_ssize_t n = PySequence_Size(seq.get());
  if (n < 0) return false;
  out.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(seq.get(), i));
    if (!item) return false;
    double v = PyFloat_AsDouble(item.get());
    if (v == -1.0 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s' must be a list of floats, item %zd is not",
                   name, i);
      return false;
    }
    out[static_cast<size_t>(i)] = v;
  }
  return true;
}

bool to_dims(std::string_view kinds, const std::vector<double>& counts,
             std::vector<numerics::Dim>& dims) {
  if (counts.size() != kinds.size()) {
    PyErr_SetString(PyExc_ValueError, "counts: one per dimension of kinds");
    return false;
  }
  dims.clear();
  for (size_t k = 0; k < kinds.size(); ++k) {
    numerics::Dim dim;
    switch (kinds[k]) {
      case 'c': dim.kind = numerics::DimKind::kContinuous; break;
      case 'i': dim.kind = numerics::DimKind::kInteger; break;
      case 'k': dim.kind = numerics::DimKind::kCategorical; break;
      case 'p': dim.kind = numerics::DimKind::kPeriodic; break;
      default:
        PyErr_SetString(PyExc_ValueError, "kinds: one of c, i, k, p per dimension");
        return false;
    }
    if (!(counts[k] >= 0.0 && counts[k] < 4294967296.0)) {
      PyErr_SetString(PyExc_ValueError, "counts: from 0 to 2**32 - 1");
      return false;
    }
    dim.count = static_cast<uint32_t>(counts[k]);
    dims.push_back(dim);
  }
  return true;
}

PyObject* to_list(const std::vector<double>& values) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t k = 0; k < values.size(); ++k) {
    PyObject* v = PyFloat_FromDouble(values[k]);
    if (!v) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), v);
  }
  return list.release();
}

}  // namespace vordaopt::py
