#include "args.h"

#include <string>

#include "pyref.h"

namespace vordaopt::py {
namespace {

std::string type_name(PyObject* obj) {
  PyRef name(PyType_GetName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
  return s ? std::string(s, static_cast<size_t>(n)) : "object";
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
               sig.qualname, sig.count, sig.count == 1 ? "" : "s", given,
               given == 1 ? "was" : "were");
  return false;
}

// Places one keyword argument; `key` is a str.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  for (int i = 0; i < sig.count; ++i) {
    int eq = PyUnicode_CompareWithASCIIString(key, sig.names[i]);
    if (eq == 0) {
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                     sig.qualname, sig.names[i]);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.qualname,
               key);
  return false;
}

bool check_required(const Signature& sig, PyObject** out) {
  for (int i = 0; i < sig.required; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                   sig.qualname, sig.names[i]);
      return false;
    }
  }
  return true;
}

bool argument_type_error(const char* name, PyObject* obj, const char* what) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object %s", name, type_name(obj).c_str(),
               what);
  return false;
}

}  // namespace

bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames, PyObject** out) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool match_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;
  if (kwargs) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

bool to_text(const char* name, PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return argument_type_error(name, obj, "cannot be converted to 'str'");
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!s) return false;
  out = std::string_view(s, static_cast<size_t>(n));
  return true;
}

bool to_u64(const char* name, PyObject* obj, uint64_t& out) {
  if (!PyLong_Check(obj)) {
    return argument_type_error(name, obj, "cannot be interpreted as an integer");
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_u32(const char* name, PyObject* obj, uint32_t& out) {
  if (!PyLong_Check(obj)) {
    return argument_type_error(name, obj, "cannot be interpreted as an integer");
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
    return false;
  }
  if (overflow > 0 || v > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace vordaopt::py
