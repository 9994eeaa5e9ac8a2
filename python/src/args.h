// Argument handling shared by every method of the two classes.
//
// Each entry point matches its arguments to parameter names (positional first,
// then keywords) with the host's standard wording for arity errors, then
// converts each argument with a "argument '<name>': " prefix on type errors.
#ifndef VORDAOPT_PYTHON_ARGS_H_
#define VORDAOPT_PYTHON_ARGS_H_

#include <Python.h>

#include <cstdint>
#include <string_view>

namespace vordaopt::py {

// The parameters of one callable: its qualified name for messages
// ("VordaSolver.tell"), its parameter names, and how many are required.
struct Signature {
  const char* qualname;
  const char* const* names;
  int count;
  int required;
};

// Matches fast-call arguments into out[0..count): borrowed references, or
// nullptr for an optional parameter that was not given. Returns false with a
// TypeError set.
bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional keyword dict (type constructors).
bool match_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions. Each returns false with an exception set.
// A str, as its UTF-8 text; the view lives as long as the object.
bool to_text(const char* name, PyObject* obj, std::string_view& out);
// An int from 0 to 2^64 - 1 (OverflowError outside).
bool to_u64(const char* name, PyObject* obj, uint64_t& out);
// An int from 0 to 2^32 - 1 (OverflowError outside).
bool to_u32(const char* name, PyObject* obj, uint32_t& out);

// A fast-call method as the PyCFunction a method table stores.
template <class F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A new, zeroed instance of a heap type, from the type's own allocator.
inline PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

// Frees an instance of a heap type once its C++ members are destroyed, and
// drops the reference the instance held on its type.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

}  // namespace vordaopt::py

#endif  // VORDAOPT_PYTHON_ARGS_H_
