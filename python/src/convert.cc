#include "convert.h"

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <stdexcept>

#include "internal_error.h"
#include "interrupt.h"
#include "pyref.h"

namespace vordaopt::py {

Borrow Borrow::exclusive(BorrowState& state) {
  if (state.count != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return Borrow(nullptr);
  }
  state.count = -1;
  return Borrow(&state);
}

Borrow Borrow::shared(BorrowState& state) {
  if (state.count < 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return Borrow(nullptr);
  }
  ++state.count;
  return Borrow(&state);
}

Borrow::~Borrow() {
  if (!state_) return;
  if (state_->count < 0) {
    state_->count = 0;
  } else {
    --state_->count;
  }
}

namespace {
PyObject* shared_panic_type = nullptr;
}

void use_panic_exception_type(PyObject* type) {
  Py_XINCREF(type);
  PyObject* old = shared_panic_type;
  shared_panic_type = type;
  Py_XDECREF(old);
}

PyObject* panic_exception_type() {
  if (shared_panic_type) return shared_panic_type;
  // Created on first use and kept for the life of the process.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "pyo3_runtime.PanicException",
      "The exception raised when the solver's core meets a broken invariant.\n\n"
      "It derives from BaseException so that a plain `except Exception` does not\n"
      "swallow it.",
      PyExc_BaseException, nullptr);
  return type;
}

void raise_value_error(std::string_view prefix, const std::string& message) {
  std::string text(prefix);
  text += message;
  PyErr_SetString(PyExc_ValueError, text.c_str());
}

void raise_from_current_exception() {
  try {
    throw;
  } catch (const Interrupted&) {
    // The signal handler's exception is already set.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than can ever be allocated.
    PyErr_SetString(panic_exception_type(), "capacity overflow");
  } catch (const InternalError& e) {
    PyObject* type = panic_exception_type();
    if (type) PyErr_SetString(type, e.message().c_str());
  } catch (const std::exception& e) {
    PyObject* type = panic_exception_type();
    if (type) PyErr_SetString(type, e.what());
  }
}

DictBuilder::DictBuilder(const std::vector<std::string_view>& names) {
  PyRef dict(PyDict_New());
  if (!dict) return;
  keys_.reserve(names.size());
  for (std::string_view name : names) {
    PyObject* key = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (!key) return;
    keys_.push_back(key);
    if (PyDict_SetItem(dict.get(), key, Py_None) < 0) return;
  }
  template_ = dict.release();
}

DictBuilder::~DictBuilder() {
  for (PyObject* k : keys_) Py_DECREF(k);
  Py_XDECREF(template_);
}

PyObject* DictBuilder::make(const double* values) const {
  PyRef dict(PyDict_Copy(template_));
  if (!dict) return nullptr;
  for (size_t i = 0; i < keys_.size(); ++i) {
    PyRef v(PyFloat_FromDouble(values[i]));
    if (!v || PyDict_SetItem(dict.get(), keys_[i], v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* to_dict(const ParamMap& map) {
  // A single dict: set the entries directly, no template to copy.
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : map) {
    PyRef key(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    PyRef v(PyFloat_FromDouble(value));
    if (!key || !v || PyDict_SetItem(dict.get(), key.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* to_list_of_dicts(std::vector<ParamMap>&& maps, bool interruptible) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(maps.size())));
  if (!list || maps.empty()) return list.release();
  // The maps of one result usually hold the same names (one entry per
  // parameter), so one builder serves them all; a map with other names gets
  // its own dict. The names are copied: the maps are released as they go.
  std::vector<std::string> names;
  names.reserve(maps.front().size());
  for (const auto& entry : maps.front()) names.push_back(entry.first);
  DictBuilder builder(std::vector<std::string_view>(names.begin(), names.end()));
  if (!builder.ok()) return nullptr;
  std::vector<double> values;
  InterruptCheck interrupt;
  for (size_t i = 0; i < maps.size(); ++i) {
    const ParamMap& m = maps[i];
    if (interruptible) interrupt.tick(1 + m.size());
    bool same = m.size() == names.size();
    for (size_t k = 0; same && k < names.size(); ++k) same = m[k].first == names[k];
    PyObject* d;
    if (same) {
      values.clear();
      for (const auto& entry : m) values.push_back(entry.second);
      d = builder.make(values.data());
    } else {
      d = to_dict(m);
    }
    if (!d) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d);
    maps[i] = ParamMap();  // release the core's copy as soon as it is converted
  }
  return list.release();
}

bool poll_python_signals() { return PyErr_CheckSignals() != 0; }

}  // namespace vordaopt::py
