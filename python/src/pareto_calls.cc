#include "pareto_calls.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include "args.h"
#include "method_args.h"
#include "pareto/dominance.h"
#include "pareto/hypervolume.h"
#include "pyref.h"

namespace vordaopt::py {
namespace {

// `values` holds whole points of `objectives` finite floats; ValueError otherwise.
bool check_values(const char* qualname, uint32_t objectives, const std::vector<double>& values) {
  if (objectives == 0) {
    PyErr_Format(PyExc_ValueError, "%s: objectives must be at least 1", qualname);
    return false;
  }
  if (values.size() % objectives != 0) {
    PyErr_Format(PyExc_ValueError, "%s: values must be points of %u floats", qualname,
                 static_cast<unsigned>(objectives));
    return false;
  }
  for (double v : values) {
    if (!std::isfinite(v)) {
      PyErr_Format(PyExc_ValueError, "%s: values must be finite", qualname);
      return false;
    }
  }
  return true;
}

// Matches (values, objectives, <a list named by the signature's third name>)
// and checks the points.
bool read_points(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, std::vector<double>& values, uint32_t& objectives,
                 std::vector<double>& third) {
  PyObject* argv[3];
  return match_args(sig, args, nargs, kwnames, argv) && to_doubles("values", argv[0], values) &&
         to_u32("objectives", argv[1], objectives) &&
         to_doubles(sig.names[2], argv[2], third) &&
         check_values(sig.qualname, objectives, values);
}

const char* const kParetoRanksNames[] = {"values", "objectives", "violations"};
const Signature kParetoRanks = {"pareto_ranks", kParetoRanksNames, 3, 3};

const char* const kHypervolumeNames[] = {"values", "objectives", "reference"};
const Signature kHypervolume = {"hypervolume", kHypervolumeNames, 3, 3};

}  // namespace

const char kParetoRanksDoc[] =
    "pareto_ranks(values, objectives, violations)\n--\n\n"
    "The front of each point (0: no other point dominates it), objectives minimised: "
    "`values` holds n points of `objectives` floats (flat); `violations` is empty when "
    "every point is feasible, or n non-negative floats (0: feasible), which rank every "
    "feasible point first and the others by their violation.";

const char kHypervolumeDoc[] =
    "hypervolume(values, objectives, reference)\n--\n\n"
    "The measure of the region the points (flat, `objectives` floats each, minimised) "
    "dominate inside the box bounded by `reference`.";

PyObject* pareto_ranks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> values, violations;
  uint32_t objectives = 0;
  if (!read_points(kParetoRanks, args, nargs, kwnames, values, objectives, violations)) {
    return nullptr;
  }
  size_t n = values.size() / objectives;
  if (!violations.empty()) {
    bool sound = violations.size() == n;
    for (double v : violations) sound = sound && v >= 0.0;  // NaN fails too
    if (!sound) {
      PyErr_SetString(PyExc_ValueError,
                      "pareto_ranks: violations must be empty or one float >= 0 per point");
      return nullptr;
    }
  }
  std::vector<uint32_t> ranks;
  if (!run_without_gil([&] {
        ranks = violations.empty()
                    ? pareto::front_ranks(values, objectives)
                    : pareto::constrained_front_ranks(values, objectives, violations);
      })) {
    return nullptr;
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ranks.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ranks.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLong(ranks[i]);
    if (!item || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
  }
  return list.release();
}

PyObject* hypervolume(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<double> values, reference;
  uint32_t objectives = 0;
  if (!read_points(kHypervolume, args, nargs, kwnames, values, objectives, reference)) {
    return nullptr;
  }
  if (reference.size() != objectives) {
    PyErr_Format(PyExc_ValueError, "hypervolume: reference must have %u floats",
                 static_cast<unsigned>(objectives));
    return nullptr;
  }
  for (double r : reference) {
    if (!std::isfinite(r)) {
      PyErr_SetString(PyExc_ValueError, "hypervolume: reference must be finite");
      return nullptr;
    }
  }
  double volume = 0.0;
  if (!run_without_gil([&] { volume = pareto::hypervolume(values, objectives, reference); })) {
    return nullptr;
  }
  return PyFloat_FromDouble(volume);
}

}  // namespace vordaopt::py
