// The Python binding of the Tensor class: the PyTensor object, wrapping and unwrapping, argument
// conversion, and the one boundary through which every entry point turns error values into
// Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <initializer_list>
#include <new>
#include <optional>

#include "tensor/core/tensor.hpp"
#include "util/error.hpp"
#include "util/pyref.hpp"

namespace norva::api {

using tensor::Tensor;

struct PyTensor {
  PyObject_HEAD Tensor value;
};

// The Tensor class object, created on first use and kept for the life of the process.
PyTypeObject* tensor_type();
// The exception raised for a broken internal invariant (derives from BaseException).
PyObject* internal_error_type();

inline bool is_tensor(PyObject* o) {
  return Py_TYPE(o) == tensor_type();
}
inline const Tensor& tensor_of(PyObject* o) {
  return reinterpret_cast<PyTensor*>(o)->value;
}

// A new Tensor object holding `t`.
PyObject* wrap(Tensor&& t);

// Raises `e` as the exception it names; returns nullptr for the caller to return.
PyObject* raise(const Error& e);

template <class T>
PyObject* wrap(Result<T>&& r) {
  if (!r) return raise(r.error());
  return wrap(std::move(*r));
}

// Runs an entry point's body: C++ exceptions never reach the interpreter. A failed allocation
// becomes MemoryError, anything else the internal-error exception.
template <class R, class F>
R guard(F&& body, R on_error) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(internal_error_type(), e.what());
  } catch (...) {
    PyErr_SetString(internal_error_type(), "unexpected internal failure");
  }
  return on_error;
}
template <class F>
PyObject* guard(F&& body) noexcept {
  return guard<PyObject*>(std::forward<F>(body), nullptr);
}

// Adds the note "while processing '<name>'" to the exception being raised.
void add_arg_note(const char* name);

// Binds fast-call arguments to `names` (positional first, then keywords). On a missing, surplus
// or unknown argument sets TypeError and returns false.
bool bind_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::initializer_list<const char*> names, PyObject** out);

// Argument conversions; each sets the conversion's exception plus the argument note on failure.
std::optional<std::size_t> to_size(PyObject* o, const char* name);
std::optional<float> to_f32(PyObject* o, const char* name);

// A Python number as the 32-bit float the core takes: the interpreter's float conversion, then
// rounding to nearest (beyond the binary32 range: infinity). No exception is left set on failure.
std::optional<float> number_as_f32(PyObject* o);

// The binary32 nearest to d (ties to even; overflow to infinity).
float narrow_to_f32(double d);

// A new NumPy array holding a copy of the storage.
PyObject* storage_to_numpy(const engine::cpu::storage::CpuStorage& s);

}  // namespace norva::api
