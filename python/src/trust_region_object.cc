#include "trust_region_object.h"

#include <memory>
#include <vector>

#include "args.h"
#include "local/trust_region.h"
#include "method_args.h"
#include "point_search.h"
#include "pyref.h"

namespace vordaopt::py {
namespace {

struct TrustRegionTraits {
  using Search = local::TrustRegion;
  static constexpr const char* kPropose = "TrustRegion.propose";
  static constexpr const char* kObserve = "TrustRegion.observe";
};
using RegionType = PointSearch<TrustRegionTraits>;

const char* const kNewNames[] = {"start"};
const Signature kNew = {"TrustRegion.__new__", kNewNames, 1, 1};

PyObject* region_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  std::vector<double> start;
  if (!match_args(kNew, args, kwargs, argv) || !to_doubles("start", argv[0], start)) return nullptr;
  if (start.empty() || !in_unit_cube(start)) {
    PyErr_SetString(PyExc_ValueError, "TrustRegion: start must be a point of the unit cube");
    return nullptr;
  }
  PyRef self(RegionType::alloc(type, start.size()));
  if (!self) return nullptr;
  auto& search = RegionType::get(self.get())->search;
  if (!run_without_gil([&] { search = std::make_unique<local::TrustRegion>(std::move(start)); })) {
    return nullptr;
  }
  return self.release();
}

PyObject* region_state(PyObject* self, PyObject*) {
  Borrow borrow = Borrow::shared(RegionType::get(self)->borrow);
  if (!borrow.held()) return nullptr;
  const local::TrustRegion& s = *RegionType::get(self)->search;
  return Py_BuildValue("{s:d,s:n,s:O}", "radius", s.radius(), "size",
                       static_cast<Py_ssize_t>(s.size()), "converged",
                       s.converged() ? Py_True : Py_False);
}

PyMethodDef region_methods[] = {
    RegionType::propose_entry(),
    RegionType::observe_entry(),
    {"state", region_state, METH_NOARGS,
     "state($self)\n--\n\nRadius, results told and whether the search converged, as a dict."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot region_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(region_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(RegionType::dealloc)},
    {Py_tp_methods, region_methods},
    {Py_tp_doc, const_cast<char*>("TrustRegion(start)\n--\n\n"
                                  "A derivative-free trust-region search over the unit cube, "
                                  "from `start`.")},
    {0, nullptr},  // sentinel
};

PyType_Spec region_spec = {
    .name = "vordaopt._engine.TrustRegion",
    .basicsize = sizeof(RegionType::Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = region_slots,
};

}  // namespace

bool add_trust_region_type(PyObject* module) {
  PyRef type(PyType_FromSpec(&region_spec));
  return type && PyModule_AddObjectRef(module, "TrustRegion", type.get()) == 0;
}

}  // namespace vordaopt::py
