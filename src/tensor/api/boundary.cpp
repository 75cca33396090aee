// Raising error values, argument notes and argument conversions.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "tensor/api/binding.hpp"

namespace norva::api {

PyObject* internal_error_type() {
  static PyObject* const type = PyErr_NewExceptionWithDoc(
      "norva.InternalError", "A broken internal invariant of the tensor engine. Please report it.",
      PyExc_BaseException, nullptr);
  return type;
}

PyObject* raise(const Error& e) {
  PyObject* type = nullptr;
  switch (e.kind) {
    case ErrorKind::Value:
      type = PyExc_ValueError;
      break;
    case ErrorKind::Type:
      type = PyExc_TypeError;
      break;
    case ErrorKind::Runtime:
      type = PyExc_RuntimeError;
      break;
    case ErrorKind::Index:
      type = PyExc_IndexError;
      break;
    case ErrorKind::Overflow:
      type = PyExc_OverflowError;
      break;
    case ErrorKind::Memory:
      PyErr_NoMemory();
      return nullptr;
    case ErrorKind::Internal:
      type = internal_error_type();
      break;
    case ErrorKind::Python:
      if (!PyErr_Occurred())
        PyErr_SetString(internal_error_type(), "error reported without an exception");
      return nullptr;
  }
  PyErr_SetString(type, e.message.c_str());
  return nullptr;
}

void add_arg_note(const char* name) {
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
  if (!note) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return;
  PyRef r = PyRef::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
  if (!r) return;  // the new exception replaces the old one
  PyErr_SetRaisedException(exc.release());
#else
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb) PyException_SetTraceback(v, tb);
  PyRef type = PyRef::steal(t), value = PyRef::steal(v), trace = PyRef::steal(tb);
  if (!value) return;
  PyRef r = PyRef::steal(PyObject_CallMethod(value.get(), "add_note", "O", note.get()));
  if (!r) return;
  PyErr_Restore(type.release(), value.release(), trace.release());
#endif
}

bool bind_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::initializer_list<const char*> names, PyObject** out) {
  Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = nullptr;
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd argument%s but %zd were given", fname, n,
                 n == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t idx = 0;
    for (const char* name : names) {
      if (PyUnicode_CompareWithASCIIString(key, name) == 0) break;
      ++idx;
    }
    if (idx == n) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
    if (out[idx]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fname, key);
      return false;
    }
    out[idx] = args[nargs + k];
  }
  Py_ssize_t idx = 0;
  for (const char* name : names) {
    if (!out[idx]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", fname, name);
      return false;
    }
    ++idx;
  }
  return true;
}

std::optional<std::size_t> to_size(PyObject* o, const char* name) {
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (index) {
    std::size_t v = PyLong_AsSize_t(index.get());
    if (!(v == static_cast<std::size_t>(-1) && PyErr_Occurred())) return v;
    // Negative values report "can't convert negative int to unsigned": an OverflowError.
  }
  add_arg_note(name);
  return std::nullopt;
}

float narrow_to_f32(double d) {
  if (std::isfinite(d) && std::fabs(d) > static_cast<double>(FLT_MAX)) {
    // Half-way between FLT_MAX and 2^128 rounds up (FLT_MAX's last bit is odd).
    const double limit = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
    float big = std::fabs(d) >= limit ? HUGE_VALF : FLT_MAX;
    return d < 0 ? -big : big;
  }
  return static_cast<float>(d);
}

std::optional<float> number_as_f32(PyObject* o) {
  double d;
  if (PyFloat_CheckExact(o)) {
    d = PyFloat_AS_DOUBLE(o);
  } else {
    d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return std::nullopt;
    }
  }
  return narrow_to_f32(d);
}

std::optional<float> to_f32(PyObject* o, const char* name) {
  double d = PyFloat_AsDouble(o);
  if (!(d == -1.0 && PyErr_Occurred())) return narrow_to_f32(d);
  add_arg_note(name);
  return std::nullopt;
}

}  // namespace norva::api
