#include "convert.h"

#include <exception>
#include <new>
#include <stdexcept>

#include "internal_error.h"
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

PyObject* panic_exception_type() {
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

std::vector<PyObject*> make_keys(const ParamMap& first_map) {
  std::vector<PyObject*> keys;
  keys.reserve(first_map.size());
  for (const auto& entry : first_map) {
    PyObject* key = PyUnicode_FromStringAndSize(entry.first.data(),
                                                static_cast<Py_ssize_t>(entry.first.size()));
    if (!key) {
      for (PyObject* k : keys) Py_DECREF(k);
      keys.clear();
      throw std::bad_alloc();
    }
    keys.push_back(key);
  }
  return keys;
}

namespace {

// Fills a new dict from `map`. `first` is the map the ready-made `keys` were
// built from; an entry whose name matches the name at the same position there
// reuses that key object.
PyObject* dict_with_keys(const ParamMap& map, const ParamMap* first,
                         const std::vector<PyObject*>& keys) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  size_t i = 0;
  for (const auto& [name, value] : map) {
    PyRef fresh;
    PyObject* key;
    if (first && i < keys.size() && (*first)[i].first == name) {
      key = keys[i];
    } else {
      fresh = PyRef(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
      if (!fresh) return nullptr;
      key = fresh.get();
    }
    PyRef v(PyFloat_FromDouble(value));
    if (!v || PyDict_SetItem(dict.get(), key, v.get()) < 0) return nullptr;
    ++i;
  }
  return dict.release();
}

}  // namespace

PyObject* to_dict(const ParamMap& map) { return dict_with_keys(map, nullptr, {}); }

PyObject* to_list_of_dicts(std::vector<ParamMap>&& maps) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(maps.size())));
  if (!list) return nullptr;
  if (maps.empty()) return list.release();
  // The maps of one result normally hold the same names, so the key objects
  // are built once from the first map and shared by all dicts.
  ParamMap first = maps.front();
  std::vector<PyObject*> keys = make_keys(first);
  bool ok = true;
  for (size_t i = 0; i < maps.size() && ok; ++i) {
    PyObject* d = dict_with_keys(maps[i], &first, keys);
    ok = d && PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d) == 0;
    maps[i] = ParamMap();
  }
  for (PyObject* k : keys) Py_DECREF(k);
  return ok ? list.release() : nullptr;
}

}  // namespace vordaopt::py
