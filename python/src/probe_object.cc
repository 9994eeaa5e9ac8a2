// The class VordaProbe: the probe's stateless lattice for sharded sampling.
#include <Python.h>

#include <cmath>
#include <new>
#include <string_view>
#include <vector>

#include "args.h"
#include "config.h"
#include "convert.h"
#include "interrupt.h"
#include "probe.h"
#include "pyref.h"
#include "types.h"

namespace vordaopt::py {
namespace {

struct ProbeObject {
  PyObject_HEAD
  SolverConfig config;
  PrimeSqrtSlopesRotProbe probe;
  BorrowState borrow;
};

ProbeObject* as_probe(PyObject* self) { return reinterpret_cast<ProbeObject*>(self); }

const char* const kConstructorNames[] = {"config_json", "seed"};
const Signature kConstructor = {"VordaProbe.__new__", kConstructorNames, 2, 1};

PyObject* probe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[2];
  std::string_view text;
  uint64_t seed = 42;
  if (!match_args(kConstructor, args, kwargs, argv) || !to_text("config_json", argv[0], text) ||
      (argv[1] && !to_u64("seed", argv[1], seed))) {
    return nullptr;
  }
  try {
    json::ParseResult<SolverConfig> parsed = parse_solver_config(text);
    if (!parsed.ok()) {
      raise_value_error("Invalid config: ", parsed.error_message());
      return nullptr;
    }
    PrimeSqrtSlopesRotProbe probe;
    probe.seed_offset = std::fmod(static_cast<double>(seed) * kInversePi, 1.0);
    probe.spice_ratio = 0.0;
    PyRef self(alloc_instance(type));
    if (!self) return nullptr;
    ProbeObject* obj = as_probe(self.get());
    new (&obj->config) SolverConfig(std::move(parsed).value());
    new (&obj->probe) PrimeSqrtSlopesRotProbe(std::move(probe));
    new (&obj->borrow) BorrowState();
    return self.release();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

void probe_dealloc(PyObject* self) {
  ProbeObject* obj = as_probe(self);
  obj->probe.~PrimeSqrtSlopesRotProbe();
  obj->config.~SolverConfig();
  free_instance(self);
}

// Builds the dicts of points start, start + 1, ... straight from the values,
// sharing one set of key objects: no intermediate maps.
PyObject* points_to_list(const ProbeObject* obj, uint32_t start, uint32_t count, bool single) {
  const NamedMap<Domain>& bounds = obj->config.bounds;
  ProbeGeometry geometry = prepare_geometry(obj->probe, bounds);
  std::vector<DomainMapper> mappers = make_mappers(bounds);
  std::vector<double> values(bounds.size());

  std::vector<std::string_view> names(geometry.names.begin(), geometry.names.end());
  DictBuilder builder(names);
  if (!builder.ok()) return nullptr;

  PyRef list(single ? nullptr : PyList_New(count));
  if (!single && !list) return nullptr;
  InterruptCheck interrupt;
  for (uint32_t j = 0; j < count; ++j) {
    interrupt.tick(1 + values.size());
    generate_values_at(obj->probe, start + j, geometry, mappers, values.data());
    PyRef dict(builder.make(values.data()));
    if (!dict) return nullptr;
    if (single) return dict.release();
    PyList_SetItem(list.get(), j, dict.release());
  }
  return list.release();
}

const char* const kSampleAtNames[] = {"index"};
const Signature kSampleAt = {"VordaProbe.sample_at", kSampleAtNames, 1, 1};

PyObject* probe_sample_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* argv[1];
  if (!match_args(kSampleAt, args, nargs, kwnames, argv)) return nullptr;
  Borrow borrow = Borrow::shared(as_probe(self)->borrow);
  uint32_t index;
  if (!borrow.held() || !to_u32("index", argv[0], index)) return nullptr;
  try {
    return points_to_list(as_probe(self), index, 1, true);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

const char* const kSampleRangeNames[] = {"start", "count"};
const Signature kSampleRange = {"VordaProbe.sample_range", kSampleRangeNames, 2, 2};

PyObject* probe_sample_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* argv[2];
  if (!match_args(kSampleRange, args, nargs, kwnames, argv)) return nullptr;
  Borrow borrow = Borrow::shared(as_probe(self)->borrow);
  uint32_t start, count;
  if (!borrow.held() || !to_u32("start", argv[0], start) || !to_u32("count", argv[1], count)) {
    return nullptr;
  }
  try {
    return points_to_list(as_probe(self), start, count, false);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyMethodDef probe_methods[] = {
    {"sample_at", fastcall(probe_sample_at),
     METH_FASTCALL | METH_KEYWORDS,
     "sample_at($self, index)\n--\n\n"
     "Generate a single pure LDS point at the given global index (Stateless)"},
    {"sample_range",
     fastcall(probe_sample_range),
     METH_FASTCALL | METH_KEYWORDS,
     "sample_range($self, start, count)\n--\n\n"
     "Generate a range of pure LDS points [start, start+count) (Stateless)\n"
     "This enables zero-coordination sharding."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot probe_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(probe_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(probe_dealloc)},
    {Py_tp_methods, probe_methods},
    {Py_tp_doc, const_cast<char*>("VordaProbe(config_json, seed=42)\n--\n\n")},
    {0, nullptr},  // sentinel
};

PyType_Spec probe_spec = {
    .name = "builtins.VordaProbe",
    .basicsize = sizeof(ProbeObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = probe_slots,
};

}  // namespace

PyObject* create_probe_type() { return PyType_FromSpec(&probe_spec); }

}  // namespace vordaopt::py
